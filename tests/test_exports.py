"""The pcm shared library exports exactly its C interface, by name."""

from __future__ import annotations

import ctypes
import shutil
import subprocess

import pytest

import orvane.pcm
from formats import FORMATS, library

CODECS = {f"FrameList_{f.tag}_char_to_int" for f in FORMATS} | {
    f"FrameList_int_to_{f.tag}_char" for f in FORMATS
}
CODEC_HELPERS = {
    "FrameList_get_char_to_int_converter",
    "FrameList_get_int_to_char_converter",
    "FrameList_char_to_samples",
    "FrameList_samples_to_char",
}
FRAMELIST = {
    "pcm_FrameListType",
    "FrameList_methods",
    "FrameList_getseters",
    "FrameList_init",
    "FrameList_new",
    "FrameList_dealloc",
    "FrameList_frames",
    "FrameList_channels",
    "FrameList_bits_per_sample",
    "FrameList_to_bytes",
}
MODULE = {"module_methods", "PyInit_pcm"}
EXPORTED = CODECS | CODEC_HELPERS | FRAMELIST | MODULE


@pytest.mark.parametrize("name", sorted(EXPORTED))
def test_every_name_resolves(name):
    assert getattr(library(), name)


def test_the_type_object_is_the_python_type():
    address = ctypes.addressof(ctypes.c_char.in_dll(library(), "pcm_FrameListType"))
    assert address == id(orvane.pcm.FrameList)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_nothing_else_is_exported():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", orvane.pcm.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    defined = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    # A sanitizer build adds its own bookkeeping symbols.
    defined = {name for name in defined if not name.startswith(("__odr_asan", "__asan", "__ubsan"))}
    assert defined == EXPORTED
