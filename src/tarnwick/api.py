"""tarnwick from Python: the calls the command is made of (see `tarnwick.app.api`)."""

from tarnwick.app.api import *  # noqa: F401,F403
from tarnwick.app.api import __all__, __doc__  # noqa: F401
