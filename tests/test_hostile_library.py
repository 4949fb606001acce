"""Hostile input to library mode: a tree of bad names, devices and damaged
files among good discs; scans killed or terminated; databases that are no
files or are busy; Dask schedulers that cannot be used or die mid-scan.

Every scan runs in a subprocess with a timeout, so a hang fails the test;
each fault must be one line on stderr, never a traceback, and the other
discs must be checked and stored.
"""

from __future__ import annotations

import os
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest
from isotrak_model import disc_sums, write_wav
from conftest import noise

RATE = 750
GOOD = {"a": 210, "b": 180, "z": 240}  # disc folder -> frames of its one track
PATH_MAX = os.pathconf("/", "PC_PATH_MAX")


def scan(*args: str | os.PathLike[str], timeout: float = 60) -> subprocess.CompletedProcess[str]:
    command = [sys.executable, "-m", "orvane.isotrak", "--library", *map(os.fspath, args)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, check=False)
    assert "Traceback" not in done.stderr and "Exception ignored" not in done.stderr
    return done


def hostile_tree(root: Path) -> dict[str, str]:
    """Good discs (GOOD) among hostile ones; returns each hostile disc's
    name as the report shows it, with the words of its failure."""
    for name, frames in GOOD.items():
        (root / name).mkdir(parents=True)
        write_wav(root / name / "01.wav", noise(frames, frames), RATE)
    bad = os.fsencode(root) + b"/c\xff"  # not UTF-8, and damaged
    os.mkdir(bad)
    Path(os.fsdecode(bad + b"/01.wav")).write_bytes(b"RIFF junk")
    (root / "d").mkdir()
    (root / "d/disc.cue").write_text(f'FILE "{"n" * 300}.wav" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n')
    (root / "e").mkdir()
    write_wav(root / "e/01.wav", noise(1, 100), RATE)
    (root / "e/disc.cue").write_text('FILE "01.wav" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nPOSTGAP 999999999:00:00\n')
    (root / "f").mkdir()
    (root / "f/dev.wav").symlink_to("/dev/zero")
    (root / "f/disc.cue").write_text('FILE "dev.wav" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n')
    # Folders past PATH_MAX, made one level at a time through dir_fd.
    fd = os.open(root, os.O_RDONLY)
    depth = 0
    try:
        while len(os.fsencode(root)) + depth * 201 < PATH_MAX + 200:
            os.mkdir("y" + "x" * 199, dir_fd=fd)
            fd, old = os.open("y" + "x" * 199, os.O_RDONLY, dir_fd=fd), fd
            os.close(old)
            depth += 1
        with open(os.open("01.wav", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as file:
            file.write(write_wav(root.parent / "deep.wav", noise(2, 90), RATE).read_bytes())
    finally:
        os.close(fd)
    return {
        "c\\xff": "cannot be read",
        "d/disc.cue": f"line 1: {'n' * 300}.wav is missing",
        "e/disc.cue": "line 4: POSTGAP time 999999999:00:00 is longer than a CD holds (99 minutes)",
        "f/disc.cue": "line 1: dev.wav is missing",
        "y": "cannot be read: file name too long",
    }


def stored(db: Path) -> dict[str, tuple[str, list[tuple[int, int]]]]:
    """Each disc's status and tracks' (v1, v2), by the first letter of its
    name (which tells the discs of these tests apart)."""
    with sqlite3.connect(db) as connection:
        assert connection.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        discs = connection.execute("SELECT id, name, status FROM discs").fetchall()
        return {
            (os.fsdecode(name) if isinstance(name, bytes) else name)[:1]: (
                status,
                connection.execute(
                    "SELECT v1, v2 FROM tracks WHERE disc_id = ? ORDER BY number", (disc,)
                ).fetchall(),
            )
            for disc, name, status in discs
        }


def test_a_hostile_tree_fails_its_bad_discs_alone(tmp_path):
    root, db = tmp_path / "music", tmp_path / "library.db"
    failures = hostile_tree(root)
    done = scan(root, "--db", db, "--jobs", "2")
    assert done.returncode == 1, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "8 discs: 0 checked, 0 skipped as unchanged, 0 changed, 5 failed, 3 new"
    for name, words in failures.items():
        [line] = [line for line in lines if line.startswith(f"failed   {name}")]
        assert words in line
    found = stored(db)
    for name, frames in GOOD.items():
        v1, v2 = disc_sums([noise(frames, frames)], RATE, 0, 0)[0]
        assert found[name] == ("checked", [(v1[0], v2)])
    assert {found[name[0]][0] for name in failures} == {"failed"}


def slow_disc(path: Path) -> None:
    """A disc of silence that takes a few seconds to check (a sparse file)."""
    path.parent.mkdir(parents=True)
    size = 2**31
    with path.open("wb") as file:
        file.write(b"RIFF" + struct.pack("<I", 36 + size) + b"WAVEfmt ")
        file.write(struct.pack("<IHHIIHH", 16, 1, 2, 44100, 44100 * 4, 4, 16) + b"data")
        file.write(struct.pack("<I", size))
        file.truncate(44 + size)


def slow_library(root: Path, slow: int = 1) -> None:
    write_wav((root / "a").mkdir(parents=True) or root / "a/01.wav", noise(1, 200), RATE)
    for n in range(slow):
        slow_disc(root / f"b{n}/01.wav")


def recorded(db: Path) -> int:
    try:
        with sqlite3.connect(db, timeout=10) as connection:
            return connection.execute("SELECT count(*) FROM discs").fetchone()[0]
    except sqlite3.OperationalError:  # not made yet
        return 0


def alive_in_session(session: int) -> list[str]:
    """The processes of a session that still run (zombies have ended)."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[3]) == session and fields[0] != "Z":
            found.append(entry.name)
    return found


@pytest.mark.parametrize(("signum", "status"), [(signal.SIGTERM, 143), (signal.SIGKILL, -9)])
def test_a_scan_ended_by_a_signal_leaves_no_process_and_an_intact_database(tmp_path, signum, status):
    root, db = tmp_path / "music", tmp_path / "library.db"
    slow_library(root, slow=2)
    command = [sys.executable, "-m", "orvane.isotrak", "--library", root, "--db", db, "--jobs", "2"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)  # fmt: skip
    deadline = time.monotonic() + 30
    while recorded(db) < 1 and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signum)
    # Returns only once every process holding the tool's stdout and stderr has ended.
    out, err = process.communicate(timeout=10)
    assert process.returncode == status
    if signum == signal.SIGTERM:
        assert out == b"" and err.endswith(b"\norvane-isotrak: terminated\n")
    deadline = time.monotonic() + 5
    while alive_in_session(process.pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert alive_in_session(process.pid) == []
    assert stored(db)["a"][0] == "checked"
    with sqlite3.connect(db) as connection:
        assert connection.execute("SELECT finished FROM runs").fetchall() == [(None,)]


NO_FILE = "is not a regular file (a device or a pipe), not a database file"


@pytest.mark.parametrize(
    ("make", "words"),
    [
        (lambda path: path.symlink_to("/dev/null"), NO_FILE),
        (os.mkfifo, NO_FILE),
        (Path.mkdir, "is a folder, not a database file"),
    ],
    ids=["device", "pipe", "folder"],
)
def test_a_database_that_is_no_file_is_refused_leaving_nothing(tmp_path, make, words):
    slow_library(tmp_path / "music", slow=0)
    db = tmp_path / "library.db"
    make(db)
    done = scan(tmp_path / "music", "--db", db, timeout=20)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"orvane-isotrak: error: {db}: {words}\n"
    assert sorted(os.listdir(tmp_path)) == ["library.db", "music"]


def test_ctrl_c_ends_a_wait_on_a_busy_database_at_once(tmp_path):
    slow_library(tmp_path / "music", slow=0)
    db = tmp_path / "library.db"
    assert scan(tmp_path / "music", "--db", db).returncode == 0
    holder = sqlite3.connect(db, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")  # another program writing
    command = [sys.executable, "-m", "orvane.isotrak", "--library", tmp_path / "music", "--db", db]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(2)  # well into the wait of up to 10 s
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=4)
    holder.close()
    assert process.returncode == 130 and err.endswith(b"orvane-isotrak: interrupted\n")


# -- Dask ------------------------------------------------------------------------


def closed_port() -> int:
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        return listener.getsockname()[1]


@pytest.mark.parametrize(
    ("address", "status", "words"),
    [
        ("inproc://nowhere", 2, "an inproc:// address names a scheduler inside the same process"),
        ("127.0.0.1:notaport", 2, "its port is not a number"),
        ("tcp://[::1", 2, "invalid address '[::1'"),
        ("tcp://127.0.0.1:65536", 2, "port 65536 is outside 1 to 65535"),
        ("tls://127.0.0.1:8786", 2, "needs TLS certificates"),
        ("tcp://127.0.0.1:{closed}", 1, "cannot reach the Dask scheduler: Connection refused"),
    ],
)
def test_bad_scheduler_addresses_are_one_prompt_line(tmp_path, address, status, words):
    pytest.importorskip("distributed")
    address = address.format(closed=closed_port())
    slow_library(tmp_path / "music", slow=0)
    done = scan(tmp_path / "music", "--db", tmp_path / "x.db", "--scheduler", address, timeout=15)
    assert done.returncode == status and done.stdout == ""
    assert done.stderr.splitlines()[-1].startswith("orvane-isotrak: error: ")
    assert words in done.stderr.splitlines()[-1]
    assert status == 2 or done.stderr.count("\n") == 1


def test_a_scheduler_without_workers_is_said_after_the_timeout(tmp_path):
    distributed = pytest.importorskip("distributed")
    slow_library(tmp_path / "music", slow=0)
    with distributed.LocalCluster(n_workers=0, dashboard_address=None) as cluster:
        done = scan(tmp_path / "music", "--db", tmp_path / "x.db", "--scheduler",
                    cluster.scheduler_address, "--scheduler-timeout", "1", timeout=20)  # fmt: skip
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == (
        f"orvane-isotrak: error: {cluster.scheduler_address}: "
        "the Dask scheduler has no workers (waited 1 s)\n"
    )


CLUSTER = """
import sys, time
from distributed import LocalCluster
cluster = LocalCluster(n_workers=1, threads_per_worker=1, processes=False, protocol="tcp",
                       dashboard_address=None)
print(cluster.scheduler_address, flush=True)
time.sleep(120)
"""


def test_a_scheduler_killed_mid_scan_names_the_lost_discs(tmp_path):
    pytest.importorskip("distributed")
    root, db = tmp_path / "music", tmp_path / "library.db"
    slow_library(root, slow=2)
    cluster = subprocess.Popen([sys.executable, "-c", CLUSTER], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)  # fmt: skip
    try:
        address = cluster.stdout.readline().strip()
        command = [sys.executable, "-m", "orvane.isotrak", "--library", root, "--db", db,
                   "--scheduler", address]  # fmt: skip
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 30
        while recorded(db) < 1 and time.monotonic() < deadline:
            time.sleep(0.05)
    finally:
        cluster.kill()
        cluster.wait()
    out, err = process.communicate(timeout=30)
    assert process.returncode == 1
    assert [line for line in err.splitlines() if ": warning: " not in line] == []
    lost = [line for line in out.splitlines() if line.startswith("failed")]
    assert lost and all(line.endswith(f"not checked: the Dask scheduler at {address} was lost")
                        for line in lost)  # fmt: skip
    assert stored(db)["a"][0] == "checked"
