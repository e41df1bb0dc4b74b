"""How a run ends when it is told to. SIGTERM and SIGHUP (what a cancelled CI job or a closed
terminal sends) become `Terminated`, raised through the cleanups that must run; an interrupt
the interpreter could not raise where it arrived is noted, so the command still ends with the
status of an interrupted run. Imports nothing but `sys` until a handler is set: the entry point
loads it before anything else."""

import sys

# The exit status of each interrupt the interpreter could not raise where it arrived.
SWALLOWED: list = []


class Terminated(BaseException):
    """A terminating signal arrived; `args[0]` is its number. A BaseException, so that only the
    cleanups that must run (the temporary file of a report being written) see it."""


def interrupted_status(error: BaseException):
    """The exit status of an interrupt or a terminating signal, also where the interpreter
    wrapped one in an error of its own (3.11 turns one that lands in a class's `__set_name__`
    into a RuntimeError); None for any other error."""
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        if isinstance(error, KeyboardInterrupt):
            return 130
        if isinstance(error, Terminated):
            return 128 + error.args[0]
        error = error.__cause__ or error.__context__
    return None


def note_unraisable_interrupts() -> None:
    """An interrupt that arrives while the interpreter runs a callback it cannot raise from (a
    weak reference's, during an import) is noted in SWALLOWED, not printed."""
    hook = sys.unraisablehook

    def quiet(unraisable) -> None:
        error = unraisable.exc_value
        if isinstance(error, KeyboardInterrupt):
            SWALLOWED.append(130)
        elif isinstance(error, Terminated):
            SWALLOWED.append(128 + error.args[0])
        else:
            hook(unraisable)

    sys.unraisablehook = quiet


def catch_terminating_signals() -> dict:
    """SIGTERM and SIGHUP raise Terminated from now on. The handlers that were there, to put
    back with `restore`; none off the main thread."""
    import signal

    def terminate(number, _frame):
        raise Terminated(number)

    previous = {}
    for number in (signal.SIGTERM, signal.SIGHUP):
        try:
            previous[number] = signal.signal(number, terminate)
        except (ValueError, OSError):  # not the main thread
            break
    return previous


def restore(handlers: dict) -> None:
    import signal

    for number, handler in handlers.items():
        signal.signal(number, handler)
