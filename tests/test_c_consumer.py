"""Other native code using the exported C interface: a plain C extension
module compiled against the installed headers with the machine's compiler,
loaded, and used on real containers."""

from __future__ import annotations

import importlib.util
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import orvane
from orvane import pcm

SOURCE = Path(__file__).parent / "consumer" / "pcm_consumer.c"
COMPILER = shutil.which(sysconfig.get_config_var("CC").split()[0]) or shutil.which("cc")


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
    compiler = COMPILER if language == "c" else shutil.which("c++") or shutil.which("g++")
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
