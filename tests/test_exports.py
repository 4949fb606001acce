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
OPERATIONS = {"frame", "channel", "split", "len", "GetItem", "concat", "repeat", "inplace_concat",
              "inplace_repeat", "richcompare", "from_frames", "from_channels", "empty"}
FRAMELIST |= {f"FrameList_{name}" for name in OPERATIONS} | {
    "FrameList_frame_count",
    "FrameList_from_list",
    "FrameList_to_float",
}
FLOATFRAMELIST = {f"FloatFrameList_{name}" for name in OPERATIONS} | {
    "pcm_FloatFrameListType",
    "FloatFrameList_methods",
    "FloatFrameList_getseters",
    "FloatFrameList_init",
    "FloatFrameList_new",
    "FloatFrameList_dealloc",
    "FloatFrameList_frames",
    "FloatFrameList_channels",
    "FloatFrameList_to_int",
}
NATIVE_API = {
    f"{kind}_{name}"
    for kind in ("FrameList", "FloatFrameList")
    for name in ("create", "CheckExact", "converter", "equals")
}
MODULE = {"module_methods", "PyInit_pcm"}
EXPORTED = CODECS | CODEC_HELPERS | FRAMELIST | FLOATFRAMELIST | NATIVE_API | MODULE


@pytest.mark.parametrize("name", sorted(EXPORTED))
def test_every_name_resolves(name):
    assert getattr(library(), name)


@pytest.mark.parametrize(
    "symbol, python_type",
    [("pcm_FrameListType", orvane.pcm.FrameList), ("pcm_FloatFrameListType", orvane.pcm.FloatFrameList)],
)
def test_the_type_objects_are_the_python_types(symbol, python_type):
    assert ctypes.addressof(ctypes.c_char.in_dll(library(), symbol)) == id(python_type)


def exported_names(path: str) -> set[str]:
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True
    ).stdout
    defined = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    # A sanitizer build adds its own bookkeeping symbols.
    return {name for name in defined if not name.startswith(("__odr_asan", "__asan", "__ubsan"))}


needs_nm = pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")


@needs_nm
def test_the_pcm_module_exports_nothing_else():
    assert exported_names(orvane.pcm.__file__) == EXPORTED


@needs_nm
def test_the_checksum_module_exports_its_entry_points_only():
    import orvane._isotrak

    assert exported_names(orvane._isotrak.__file__) == {
        "PyInit__isotrak",
        "Checksum_init",
        "Checksum_dealloc",
    }


# The capsule's table, after its version and size, in the order of pcm.h.
TABLE = ["pcm_FrameListType", "pcm_FloatFrameListType"] + [
    f"{kind}_{name}"
    for kind in ("FrameList", "FloatFrameList")
    for name in ("create", "CheckExact", "converter", "equals")
] + [f"FrameList_{name}" for name in ("get_char_to_int_converter", "get_int_to_char_converter",
                                      "char_to_samples", "samples_to_char")]


def test_the_capsule_holds_the_exported_interface():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(orvane.pcm._C_API, b"orvane.pcm._C_API")
    version, size = (ctypes.c_uint32 * 2).from_address(address)
    assert (version, size) == (1, 8 + 8 * len(TABLE))
    entries = (ctypes.c_void_p * len(TABLE)).from_address(address + 8)
    assert list(entries) == [ctypes.addressof(ctypes.c_char.in_dll(library(), n)) for n in TABLE]
