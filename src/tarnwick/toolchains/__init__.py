"""Toolchain front ends: turn linker output into a `NormalizedBuildModel`."""

from tarnwick.toolchains.errors import MapParseError

__all__ = ["AUTO", "MapParseError", "load_map"]


def __getattr__(name: str):
    # the loader (and what it reads with) loads when it is first asked for, not with the errors
    if name in ("AUTO", "load_map"):
        from tarnwick.toolchains import loader

        return getattr(loader, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
