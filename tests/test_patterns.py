"""A pattern declared lazily answers as the compiled pattern does, and is compiled only once used."""

import re

import pytest

from tarnwick.support.patterns import LazyPattern


@pytest.mark.parametrize("pattern, flags, method, arguments", [
    (r"(://|www\.|@)", re.IGNORECASE, "sub", (lambda m: m[1] + "|", "see WWW.x or a@b://")),
    (r"^(?P<region>.+)=(?P<amount>\d+)$", 0, "match", ("FLASH=12",)),
    (r"##(vso\[)|^(\s*)##\[", re.IGNORECASE | re.MULTILINE, "findall", ("x\n  ##[group\n##vso[task",)),
    ("[\ud800-\udfff]", 0, "search", ("a\ud800b",)),
])
def test_a_lazy_pattern_answers_as_the_compiled_one(pattern, flags, method, arguments):
    lazy, compiled = LazyPattern(pattern, flags), re.compile(pattern, flags)
    assert "_compiled" not in vars(lazy)
    ours, theirs = getattr(lazy, method)(*arguments), getattr(compiled, method)(*arguments)
    if isinstance(theirs, re.Match):
        assert (ours.span(), ours.groupdict(), ours.groups()) == (theirs.span(), theirs.groupdict(), theirs.groups())
    else:
        assert ours == theirs
    assert vars(lazy)["_compiled"] is compiled  # the interpreter's own cache: the same object
    assert (lazy.pattern, lazy.flags, lazy.groups) == (compiled.pattern, compiled.flags, compiled.groups)

