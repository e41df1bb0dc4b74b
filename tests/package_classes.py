"""The classes the package's loaded modules define, for tests that check every one of a kind."""

import sys


def package_classes(kind) -> list:
    """Every class a loaded `tarnwick.` module defines (not imports) for which `kind(cls)` holds,
    by qualified name."""
    found = {}
    for module in list(sys.modules.values()):
        if not getattr(module, "__name__", "").startswith("tarnwick."):
            continue
        for value in vars(module).values():
            if isinstance(value, type) and value.__module__ == module.__name__ and kind(value):
                found[f"{value.__module__}.{value.__qualname__}"] = value
    return [found[name] for name in sorted(found)]
