"""Where the `tarnwick` command starts. Nothing but `sys` is imported before Ctrl-C is
handled, so an interrupt at any moment (also while the modules load) ends the command with
status 130 and no traceback."""

import sys


def entry_point() -> None:
    try:
        from tarnwick.cli import main

        code = main()
    except KeyboardInterrupt:
        code = 130
    sys.exit(code)
