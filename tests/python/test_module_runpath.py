"""The compiled module finds the libraries a wheel carries beside it, and
nothing in the current directory."""

import re
import shutil
import subprocess

import pytest

import lighting._lighting


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf (binutils)")
def test_the_module_searches_its_own_libs_folder_and_never_the_current_directory():
    dynamic = subprocess.run(
        ["readelf", "-d", lighting._lighting.__file__], check=True, capture_output=True, text=True
    ).stdout
    paths = re.findall(r"\((?:RUNPATH|RPATH)\).*?\[(.*)\]", dynamic)
    assert len(paths) == 1, dynamic
    entries = paths[0].split(":")
    assert entries[0] == "$ORIGIN/_libs", entries
    # An empty entry, or a relative one, is read from the current directory.
    assert all(entry.startswith(("$ORIGIN", "/")) for entry in entries), entries
