"""Other native code using the exported C interface: a plain C extension
module compiled against the installed headers with the machine's compiler
(or $CC), loaded, and used on real containers; the refusal of a table of
another version; the README's example built as the README shows."""

from __future__ import annotations

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import orvane
from orvane import pcm

SOURCE = Path(__file__).parent / "consumer" / "pcm_consumer.c"
README = Path(__file__).parent.parent / "README.md"
COMPILER = shutil.which(os.environ.get("CC") or sysconfig.get_config_var("CC").split()[0]) or shutil.which("cc")
CXX_COMPILER = shutil.which(os.environ.get("CXX") or "c++") or shutil.which("g++")


@pytest.fixture(scope="module")
def consumer(tmp_path_factory):
    if COMPILER is None:
        pytest.skip("no C compiler on this machine")
    target = tmp_path_factory.mktemp("consumer") / (
        "pcm_consumer" + sysconfig.get_config_var("EXT_SUFFIX")
    )
    command = [
        COMPILER, "-std=c11", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC",
        f"-I{orvane.get_include()}", f"-I{sysconfig.get_paths()['include']}",
        str(SOURCE), "-o", str(target),
    ]
    subprocess.run(command, check=True, capture_output=True)
    found = importlib.util.spec_from_file_location("pcm_consumer", target)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_the_headers_are_installed():
    folder = Path(orvane.get_include()) / "orvane"
    assert {"pcm.h", "pcm_import.h"} <= {p.name for p in folder.iterdir()}


def test_containers_made_field_by_field(consumer):
    ramp = consumer.ramp(3, 2, 16)
    assert type(ramp) is pcm.FrameList
    assert (ramp.frames, ramp.channels, ramp.bits_per_sample) == (3, 2, 16)
    assert list(ramp) == [-3, -2, -1, 0, 1, 2]
    assert ramp == pcm.from_list([-3, -2, -1, 0, 1, 2], 2, 16, 1)
    assert ramp.split(1)[1] + ramp.frame(0) == pcm.from_list([-1, 0, 1, 2, -3, -2], 2, 16, 1)
    assert consumer.ramp(0, 2, 8) == pcm.empty_framelist(2, 8)
    halves = consumer.halves(ramp)
    assert type(halves) is pcm.FloatFrameList
    assert list(halves) == [-1.5, -1.0, -0.5, 0.0, 0.5, 1.0]
    del ramp, halves  # their arrays are released by the containers' destructors


def test_converter_and_exact_checks(consumer):
    class Sub(pcm.FrameList):
        pass

    assert consumer.first_sample(Sub(b"\x07\x00", 1, 16, 0, 1)) == 7
    with pytest.raises(TypeError, match="^not a FrameList object$"):
        consumer.first_sample(pcm.FloatFrameList([1.0], 1))
    a = pcm.from_list([1, 2], 2, 16, 1)
    assert consumer.same(a, a * 1) is True
    assert consumer.same(a, pcm.from_list([1, 2], 2, 8, 1)) is False
    assert consumer.same(a, Sub(b"\x01\x00\x02\x00", 2, 16, 0, 1)) is None
    assert consumer.same(pcm.FloatFrameList([0.0], 1), pcm.FloatFrameList([-0.0], 1)) is False
    assert consumer.same(pcm.empty_float_framelist(2), pcm.FloatFrameList([], 2)) is True


def test_codecs_through_the_selectors(consumer):
    assert consumer.decode(b"\x80\x00\x00\x7f\xff\xff", 24, 1, 1) == [-8388608, 8388607]
    assert consumer.decode(b"\x00\x80", 16, 0, 0) == [0]
    with pytest.raises(ValueError):
        consumer.decode(b"", 12, 0, 1)


@pytest.mark.parametrize("language, standard", [("c", "-std=c11"), ("c++", "-std=c++20")])
def test_the_headers_compile_as_c_and_cplusplus(tmp_path, language, standard):
    compiler = COMPILER if language == "c" else CXX_COMPILER
    if compiler is None:
        pytest.skip(f"no {language} compiler on this machine")
    unit = tmp_path / "unit.c"
    unit.write_text("#include <orvane/pcm_import.h>\nint unit(void) { return sizeof(pcm_FrameList) > 0; }\n")
    subprocess.run(
        [compiler, "-x", language, standard, "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
         f"-I{orvane.get_include()}", f"-I{sysconfig.get_paths()['include']}", str(unit)],
        check=True,
        capture_output=True,
    )


# Swaps the capsule for one whose table has the given version and size,
# then imports each module that binds through pcm_import.h.
SWAPPED = """
import ctypes, importlib, importlib.util, sys
import orvane.pcm
table = (ctypes.c_uint32 * 64)(int(sys.argv[1]), int(sys.argv[2]))
new = ctypes.pythonapi.PyCapsule_New
new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
orvane.pcm._C_API = new(ctypes.addressof(table), b"orvane.pcm._C_API", None)
found = importlib.util.spec_from_file_location("pcm_consumer", sys.argv[3])
for load in (lambda: importlib.import_module("orvane._interop"),
             lambda: found.loader.exec_module(importlib.util.module_from_spec(found))):
    try:
        load()
        print("imported")
    except ImportError as error:
        print(error)
"""


@pytest.mark.parametrize(
    "version, size, message",
    [
        (2, 256, "orvane.pcm offers version 2 of its C interface, but this module was built for version 1"),
        (0, 256, "orvane.pcm offers version 0 of its C interface, but this module was built for version 1"),
        (1, 16, "orvane.pcm offers a C interface table of 16 bytes, but this module needs 120: "
                "it was built against newer headers"),
    ],
)
def test_a_table_of_another_version_is_refused(consumer, version, size, message):
    child = subprocess.run(
        [sys.executable, "-c", SWAPPED, str(version), str(size), consumer.__file__],
        capture_output=True, text=True,
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [message, message]


def test_the_readme_example_builds_as_shown(tmp_path):
    if not README.exists() or shutil.which("cc") is None:
        pytest.skip("needs the source tree's README and cc")
    section = README.read_text(encoding="utf-8").split("## Using orvane from C", 1)[1]
    source, commands = re.findall(r"```(?:c|sh)\n(.*?)```", section, re.DOTALL)[:2]
    (tmp_path / "example.c").write_text(source)
    path = f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"
    shell = subprocess.run(["sh", "-ec", commands], cwd=tmp_path, env={**os.environ, "PATH": path},
                           capture_output=True, text=True)  # fmt: skip
    assert shell.returncode == 0, shell.stderr
    assert shell.stdout == "7\n"
