"""An editable install (pip install -e .) into a fresh environment finds
its C headers and its version.  It builds the package again, so it is
marked slow: make test-slow runs it."""

from __future__ import annotations

import subprocess
import tomllib
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.slow

REPORT = """
import orvane, orvane.pcm, pathlib
include = pathlib.Path(orvane.get_include())
assert (include / "orvane" / "pcm_import.h").is_file(), include
print(orvane.__version__)
print(pathlib.Path(orvane.__file__).parent)
"""


def test_editable_install_finds_its_headers(tmp_path):
    if not (ROOT / "pyproject.toml").is_file():
        pytest.skip("needs the source tree")
    venv.create(tmp_path / "env", with_pip=True)
    python = tmp_path / "env" / "bin" / "python"

    def run(*command: str, cwd: Path = tmp_path) -> str:
        done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout

    run(str(python), "-m", "pip", "install", "--quiet", "scikit-build-core", "cmake", "ninja")
    run(str(python), "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps",
        "--editable", str(ROOT), "-C", f"build-dir={tmp_path / 'build'}")  # fmt: skip
    version, package = run(str(python), "-c", REPORT).splitlines()
    assert Path(package) == ROOT / "src" / "orvane"  # the sources, not a copy
    assert version == tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
