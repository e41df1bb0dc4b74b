"""Telling a map's format by its head: a banner's pattern is searched only when a text its match
needs is in the head. Every text a banner's pattern matches, wherever it stands in a head of
another format, must still be found, and the first line with a word in it is the one a split
of the whole head gives."""

import re

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tarnwick.toolchains.loader import READERS, reader_for
from tarnwick.toolchains.maps import heads
from tarnwick.toolchains.maps.map_text import first_line, lines_of

# a GNU ld head: what the other formats' banners are searched in on most runs
GNU_HEAD = "Archive member included to satisfy reference by file (symbol)\n\n" + "".join(
    f" .text.f{n:05}    0x{0x08000000 + 16 * n:08x}       0x10 build/f{n}.o\n" for n in range(1500))

# each banner with what else its format's check asks of the head, and whether it counts anywhere
# in the head or only at its start (after blank lines)
BANNERS = [
    (heads.armlink, heads._ARMLINK_HEADINGS, "", True),
    (heads.iar_ilink, heads._ILINK_PARTS, "", True),
    (heads.iar_xlink, heads._XLINK_BANNER, "", True),
    (heads.ti_linker, heads._TI_BANNER, "", True),
    (heads.xc8, heads._XC8_BANNER, "Linker command line\n", True),
    (heads.microchip_xc, heads._XC_LINKER_LINE, "", True),
    (heads.sdcc, heads._SDCC_BANNER, "", False),
    (heads.keil_c51, heads._C51_BANNER, "", False),
    (heads.renesas_rlink, heads._RLINK_BANNER, "", False),
    (heads.llvm_lld, heads._LLD_HEADER, "", False),
    (heads.cosmic, heads._COSMIC_BANNER, "segment \n", False),
]


def banners_counted(anywhere: bool) -> dict:
    return {"argnames": "check, pattern, needed", "ids": [c.__name__ for c, _, _, a in BANNERS if a == anywhere],
            "argvalues": [(c, p, n) for c, p, n, a in BANNERS if a == anywhere]}


def source(pattern) -> str:
    return pattern.__dict__["_source"][0]


def banners(pattern):
    """Texts the pattern matches whole, on one line: a line end only comes from a blank (\\s),
    which a space stands for as well."""
    return st.from_regex(re.compile(source(pattern)), fullmatch=True).map(
        lambda text: text.replace("\r", " ").replace("\n", " "))


@pytest.mark.parametrize(**banners_counted(anywhere=True))
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), at=st.integers(0, 1500), ending=st.sampled_from(["\n", "\r\n"]))
def test_every_banner_its_pattern_matches_is_found_anywhere_in_a_head(check, pattern, needed, data, at, ending):
    # a banner on a line of its own, as the patterns that start with ^ need it
    banner = data.draw(banners(pattern))
    lines = GNU_HEAD.splitlines(keepends=True)
    head = needed + "".join(lines[:at]) + banner + ending + "".join(lines[at:])
    assert check(head)


@pytest.mark.parametrize("check", [getattr(heads, name) for name in READERS if name != "gnu_ld"])
def test_no_other_format_claims_a_gnu_ld_head(check):
    assert not check(GNU_HEAD)
    assert reader_for(GNU_HEAD).__name__ == "tarnwick.toolchains.maps.gnu_ld"


@given(st.lists(st.sampled_from(["", " ", "#", "**", "\t", "x", " .text", "\u00e9", "0"]), max_size=8),
       st.lists(st.sampled_from(["\n", "\r\n", "\r"]), min_size=8, max_size=8))
def test_the_first_line_with_a_word_is_that_of_the_whole_split(parts, ends):
    text = "".join(part + end for part, end in zip(parts, ends))
    for whole in (text, text + "tail"):
        assert first_line(whole) == next(((number, line) for number, line in enumerate(lines_of(whole), 1)
                                          if any(character.isalnum() for character in line)), (1, ""))


@pytest.mark.parametrize(**banners_counted(anywhere=False))
@settings(max_examples=40, deadline=None)
@given(data=st.data(), blank=st.sampled_from(["", "\n", "\r\n\r\n"]))
def test_every_opening_banner_its_pattern_matches_is_found(check, pattern, needed, data, blank):
    banner = data.draw(banners(pattern).filter(lambda text: len(text) < 1000))
    assert check(blank + banner + "\n" + needed + GNU_HEAD)
