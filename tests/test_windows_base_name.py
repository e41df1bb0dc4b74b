"""The file name of a Windows path, cut fast where it holds no drive, is ntpath's."""

from __future__ import annotations

import itertools
import ntpath

import pytest

from tarnwick.support.origins import windows_base_name


@pytest.mark.parametrize("path", [
    "", "main.o", "Debug\\main.o", "obj/x/main.o", "C:main.o", "C:\\work\\main.o", "c:/w/m.o",
    "\\\\server\\share\\obj\\m.o", "//server/share/m.o", "\\\\server", "\\/x\\y", "/\\x", "\\", "/", "dir\\",
    "a:b\\c", "x\\C:y", "(x86)\\lib\\libis0.sm8", "\\\\?\\UNC\\srv\\share\\m.o", "\\\\.\\device\\m.o",
])
def test_named_paths(path):
    assert windows_base_name(path) == ntpath.basename(path)


def test_every_short_path_of_separators_drives_and_letters():
    for length in range(6):
        for letters in itertools.product("a\\/:.", repeat=length):
            path = "".join(letters)
            assert windows_base_name(path) == ntpath.basename(path), path
