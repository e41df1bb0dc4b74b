"""tarnwick: memory-footprint analysis for embedded firmware builds."""

__version__ = "0.1.0"
