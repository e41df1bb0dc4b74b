"""Where the `tarnwick` command starts. Nothing but `os`, `sys` and the signal notes is imported
before Ctrl-C is handled, so an interrupt at any moment (also while the modules load) ends the
command with status 130 and no traceback."""

import os
import sys

from tarnwick.app.signals import SWALLOWED, interrupted_status, note_unraisable_interrupts

# What a run read: never freed, as the process leaves without tearing anything down.
_KEPT_TO_EXIT: list = []


def entry_point() -> None:
    try:
        note_unraisable_interrupts()
        from tarnwick.app.cli import main

        code = main(kept=_KEPT_TO_EXIT)
    except BaseException as error:  # an interrupt, maybe wrapped while the modules load
        code = interrupted_status(error)
        if code is None:
            raise
    if SWALLOWED:
        code = SWALLOWED[0]
    # The report is written and flushed; leave without tearing down the model's hundreds of
    # thousands of records one by one, which for a large build takes longer than writing it.
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    os._exit(code)
