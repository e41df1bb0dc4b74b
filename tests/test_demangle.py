"""Symbol names shown as a reader wants them: C++ and Rust demangled, checked against the
binutils' c++filt, and never a crash on names made to break a demangler."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick._native import demangle
from tarnwick.render.names import display_name

MAPS = Path(__file__).resolve().parent / "conformance" / "maps"
KNOWN = [
    "_ZN7sensors6filterERKNS_4RingImLj16EEEm", "_ZN7sensors7samplesE", "_ZTV3Foo",
    "_ZN4core3fmt5write17h0123456789abcdefE", "_RNvCs1234_7mycrate4main",
    "_RINvNtC3std3mem8align_ofdE",
    "_RNvMsr_NtCs3ssYzQotkvD_3std4pathNtB5_7PathBuf3newCs15kBYyAo9fc_7mycrate",
]


def mangled_names_of_the_conformance_links():
    names = set(KNOWN)
    for listing in MAPS.glob("*.nm.txt"):
        names.update(re.findall(r"\s(_[ZR]\S+)$", listing.read_text(), re.MULTILINE))
    return sorted(names)


def cxxfilt(names):
    result = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True,
                            check=True)
    return result.stdout.splitlines()


@pytest.mark.skipif(shutil.which("c++filt") is None, reason="binutils' c++filt is not installed")
def test_agrees_with_cxxfilt():
    """c++filt shows Rust crate disambiguators ("std[284a76a8b41a7fd3]") and legacy hashes;
    rustc's own demangler, which ours follows, leaves them out."""
    names = mangled_names_of_the_conformance_links()
    for name, theirs in zip(names, cxxfilt(names)):
        theirs = re.sub(r"::h[0-9a-f]{16}$", "", theirs)
        if name.startswith("_R"):
            theirs = re.sub(r"\[[0-9a-f]+\]", "", theirs)
        assert demangle(name) == theirs, name


@pytest.mark.parametrize("name, shown", [
    ("_ZN7sensors7samplesE", "sensors::samples"),
    ("_ZN4core3fmt5write17h0123456789abcdefE", "core::fmt::write"),
    ("_ZN109_$LT$core..str..pattern..CharSearcher$LT$$u27$a$GT$$u20$as$u20$core..str..pattern..Searcher"
     "$LT$$u27$a$GT$$GT$10next_match17h4a5f6e5c3b0d1a2fE",
     "<core::str::pattern::CharSearcher<'a> as core::str::pattern::Searcher<'a>>::next_match"),
    ("_RNvCs1234_7mycrate4main", "mycrate::main"),
    ("_RINvNtC3std3mem8align_ofdE", "std::mem::align_of::<f64>"),
    (".text._ZN7sensors6filterERKNS_4RingImLj16EEEm",
     ".text.sensors::filter(sensors::Ring<unsigned long, 16u> const&, unsigned long)"),
    (".bss._ZN7sensors7samplesE", ".bss.sensors::samples"),
    ("main", "main"), (".text.main", ".text.main"), ("_Z", "_Z"), ("_R", "_R"), ("", ""),
])
def test_display_names(name, shown):
    assert display_name(name) == shown


@pytest.mark.parametrize("name", [
    "_R" + "N" * 100_000, "_R" + "I" * 50_000, "_ZN" + "1a" * 50_000, "_RB_", "_RB0_",
    "_R" + "C" + "9" * 30, "_RNvC" + "z" * 40 + "_3foo", "_ZN" + "99999999999999999999a",
])
def test_names_made_to_break_a_demangler(name):
    shown = demangle(name)
    assert shown is None or isinstance(shown, str)


@settings(max_examples=500, deadline=None)
@given(st.text(alphabet="_RZNvCsIEBKLpnMXYuTASRQPO0123456789abcdefxyz$.", max_size=60))
def test_any_name_gives_text_or_none(name):
    shown = demangle(name)
    assert shown is None or isinstance(shown, str)


def test_argument_must_be_text():
    with pytest.raises(TypeError, match="must be str"):
        demangle(b"_ZN3fooE")
