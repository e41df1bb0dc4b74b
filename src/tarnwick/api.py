"""tarnwick from Python: `analyze` and `diff`, the calls the command is made of. They live in
`tarnwick.app.api`, whose documentation tells the whole surface; this is where scripts import
them from."""

from tarnwick.app.api import (  # noqa: F401
    AUTO, Build, ConfigError, MapParseError, RegionFigures, ReportFileError, Result, RunError, analyze, diff,
    diff_systems, read_build, settings, system,
)
from tarnwick.app.api import __all__  # noqa: F401
