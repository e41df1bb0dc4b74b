"""Where the `tarnwick` command starts. Nothing but `os` and `sys` is imported before Ctrl-C is
handled, so an interrupt at any moment (also while the modules load) ends the command with
status 130 and no traceback."""

import os
import sys


# What a run read: never freed, as the process leaves without tearing anything down.
_KEPT_TO_EXIT: list = []
# The exit status of an interrupt the interpreter could not raise where it arrived.
_SWALLOWED: list = []


class Terminated(BaseException):
    """A terminating signal arrived; `args[0]` is its number. A BaseException, so that only the
    cleanups that must run (the temporary file of a report being written) see it."""


def _unraisable(hook):
    """An interrupt that arrives while the interpreter runs a callback it cannot raise from (a
    weak reference's, during an import) is noted, not printed: the command ends as interrupted."""
    def quiet(unraisable) -> None:
        error = unraisable.exc_value
        if isinstance(error, KeyboardInterrupt):
            _SWALLOWED.append(130)
        elif isinstance(error, Terminated):
            _SWALLOWED.append(128 + error.args[0])
        else:
            hook(unraisable)
    return quiet


def entry_point() -> None:
    try:
        sys.unraisablehook = _unraisable(sys.unraisablehook)
        from tarnwick.app.cli import main

        code = main(kept=_KEPT_TO_EXIT)
    except KeyboardInterrupt:
        code = 130
    if _SWALLOWED:
        code = _SWALLOWED[0]
    # The report is written and flushed; leave without tearing down the model's hundreds of
    # thousands of records one by one, which for a large build takes longer than writing it.
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    os._exit(code)
