"""Toolchain front ends: turn linker output into a `NormalizedBuildModel`."""

from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.loader import AUTO, load_map

__all__ = ["AUTO", "MapParseError", "load_map"]
