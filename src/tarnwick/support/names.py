"""The name a user most likely meant, for messages about a name that matches nothing."""

from __future__ import annotations

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Iterable, Optional



def closest_name(name: str, names: Iterable[str]) -> Optional[str]:
    """The name that differs only in case, else the most similar one; None when there are none."""
    import difflib  # only a message needs it

    names = list(names)
    folded = [n for n in names if n.lower() == name.lower()]
    closest = folded or difflib.get_close_matches(name, names, n=1, cutoff=0.0)
    return closest[0] if closest else None
