"""Toolchain front ends: turn linker output into a `NormalizedBuildModel`."""

from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.loader import load_map

__all__ = ["MapParseError", "load_map"]
