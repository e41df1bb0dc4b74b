"""Toolchain front ends: turn linker output into a `NormalizedBuildModel`."""
