"""Library mode: a generated library scanned, rescanned, changed, interrupted,
run on a Dask cluster, and its database migrated and shared.

One library of thirteen small discs (750 Hz: a lead-in skip of 50 frames)
is scanned three times in a row by one fixture, as a user would: the first
scan, a rescan of nothing changed, and a scan after one disc's audio and
another's tags were changed.  Checksums come from the plain model in
isotrak_model.py.
"""

from __future__ import annotations

import io
import json
import os
import shutil
import signal
import sqlite3
import struct
import subprocess
import sys
import time
from contextlib import redirect_stderr, redirect_stdout
from dataclasses import dataclass
from pathlib import Path

import pytest
from isotrak_model import Frame, frame_value, track_sums, write_wav
from conftest import noise

from orvane.isotrak import main
from orvane.isotrak.store import SCHEMA_VERSION, Store, StoreError

RATE = 750  # ten PCM frames a CD frame
SEARCH = 2

Row = tuple[int, int, int, dict[int, int], int]  # number, start, frames, v1 by shift, v2


def model(stream: list[Frame], spans: list[tuple[int, int]]) -> list[Row]:
    """The checksums of tracks (start, frames) of a stream, numbered from 1."""
    values = [frame_value(left, right) for left, right in stream]
    rows = []
    for k, (start, frames) in enumerate(spans):
        v1, v2 = track_sums(
            values, start, frames, RATE, k == 0, k == len(spans) - 1,
            range(-SEARCH, SEARCH + 1), 0,
        )
        rows.append((k + 1, start, frames, v1, v2))
    return rows


def cue(files: list[tuple[str, list[str]]]) -> str:
    """A sheet: each FILE with its tracks' index lines ("00 00:00:00", ...)."""
    text, number = "", 0
    for name, tracks in files:
        text += f'FILE "{name}" WAVE\n'
        for indexes in tracks:
            number += 1
            text += f"  TRACK {number:02d} AUDIO\n"
            text += "".join(f"    INDEX {index}\n" for index in indexes.split(","))
    return text


class Library:
    """A generated library and the model's checksums of each good disc, by name."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.expected: dict[str, list[Row]] = {}
        self.streams: dict[str, list[Frame]] = {}
        self.seed = 0

    def audio(self, frames: int) -> list[Frame]:
        self.seed += 1
        return noise(self.seed, frames)

    def folder(self, name: str, files: dict[str, int]) -> None:
        folder = self.root / name
        folder.mkdir(parents=True)
        stream: list[Frame] = []
        spans = []
        for file, frames in files.items():
            audio = self.audio(frames)
            if file.endswith(".flac"):
                import numpy
                import soundfile

                samples = numpy.array(audio, dtype=numpy.int16)
                soundfile.write(folder / file, samples, RATE, subtype="PCM_16")
            else:
                write_wav(folder / file, audio, RATE)
            spans.append((len(stream), frames))
            stream += audio
        self.expected[name] = model(stream, spans)
        self.streams[name] = stream

    def image(self, folder: str, sheets: dict[str, list[int]], frames: int) -> None:
        """An image.wav and sheets over it, each with tracks at these CD frames."""
        place = self.root / folder
        place.mkdir(parents=True)
        audio = self.audio(frames)
        write_wav(place / "image.wav", audio, RATE)
        for sheet, starts in sheets.items():
            tracks = [f"01 00:00:{start:02d}" for start in starts]
            (place / sheet).write_text(cue([("image.wav", tracks)]))
            bounds = [10 * start for start in starts] + [frames]
            spans = [(bounds[n], bounds[n + 1] - bounds[n]) for n in range(len(starts))]
            self.expected[f"{folder}/{sheet}"] = model(audio, spans)


def build(root: Path) -> Library:
    library = Library(root)
    library.image("Alpha/Image", {"disc.cue": [0, 25, 45]}, 700)
    # Natural order: 1, 2, 10 (a plain sort would put 10 second).
    library.folder("Alpha/Tracks", {"1.wav": 210, "2.wav": 333, "10.wav": 257})
    (root / "Alpha/Tracks/._1.wav").write_bytes(b"\0\5\26\7 resource fork")  # hidden
    # Track 2's gap (INDEX 00) opens file b: it belongs to track 1.
    gapped = root / "Alpha/Gapped"
    gapped.mkdir(parents=True)
    a, b = library.audio(400), library.audio(300)
    write_wav(gapped / "a.wav", a, RATE)
    write_wav(gapped / "b.wav", b, RATE)
    (gapped / "disc.cue").write_text(
        cue([("a.wav", ["01 00:00:00"]), ("b.wav", ["00 00:00:00,01 00:00:05"])])
    )
    library.expected["Alpha/Gapped/disc.cue"] = model(a + b, [(0, 450), (450, 250)])
    library.image("Beta/Two sheets", {"a.cue": [0, 30], "b.cue": [0, 20, 40]}, 600)
    library.folder("Beta/Box/CD1", {"01.wav": 220, "02.wav": 180})
    library.folder("Beta/Box/CD2", {"01.wav": 260})
    library.folder("Beta/Flac", {"01.flac": 240, "02.flac": 200})
    library.folder(os.fsdecode(b"Caf\xe9"), {"01.wav": 150, "02.wav": 160})
    library.folder("Gamma/Audio change", {"01.wav": 230, "02.wav": 210})
    damaged = root / "Gamma/Damaged"
    damaged.mkdir(parents=True)
    write_wav(damaged / "01.wav", library.audio(200), RATE)
    whole = write_wav(damaged / "02.wav", library.audio(300), RATE).read_bytes()
    (damaged / "02.wav").write_bytes(whole[: 44 + 4 * 100])  # its header says 300 frames
    (root / "Gamma/Unreadable").mkdir()
    (root / "Gamma/Unreadable/01.wav").write_bytes(b"this is no audio file" * 10)
    (root / "Gamma/Missing").mkdir()
    (root / "Gamma/Missing/disc.cue").write_text(cue([("gone.wav", ["01 00:00:00"])]))
    # Not discs: artwork, a hidden folder, a link above (a loop) and one to a disc.
    (root / "Gamma/Artwork").mkdir()
    (root / "Gamma/Artwork/cover.jpg").write_bytes(b"\xff\xd8")
    (root / ".trash").mkdir()
    write_wav(root / ".trash/01.wav", library.audio(100), RATE)
    (root / "Gamma/loop").symlink_to("..")
    (root / "Link").symlink_to("Alpha/Tracks")
    return library


ORDER = [
    "Alpha/Gapped/disc.cue", "Alpha/Image/disc.cue", "Alpha/Tracks", "Beta/Box/CD1",
    "Beta/Box/CD2", "Beta/Flac", "Beta/Two sheets/a.cue", "Beta/Two sheets/b.cue",
    "Caf\\xe9", "Gamma/Audio change", "Gamma/Damaged", "Gamma/Missing/disc.cue",
    "Gamma/Unreadable",
]
FAILED = {"Gamma/Damaged": "02.wav", "Gamma/Missing/disc.cue": "gone.wav", "Gamma/Unreadable": "01.wav"}


@dataclass
class Run:
    status: int
    out: str
    err: str

    @property
    def document(self) -> dict:
        return json.loads(self.out)

    def by_name(self, root: Path) -> dict[str, dict]:
        shown = os.fsdecode(root)
        return {disc["path"][len(shown) + 1 :]: disc for disc in self.document["discs"]}


def shown(name: str) -> str:
    """A name as the output shows it: bytes that are not UTF-8 as \\xNN."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def run(*argv: str | os.PathLike[str]) -> Run:
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        status = main([os.fspath(arg) for arg in argv])
    return Run(status, out.getvalue(), err.getvalue())


def rows(db: Path) -> dict[str, list[Row]]:
    """The tracks of every disc in a database, read with sqlite3 alone."""
    with sqlite3.connect(db) as connection:
        found: dict[str, list[Row]] = {}
        for name, number, start, frames, v1, v2, blob, search in connection.execute(
            "SELECT discs.name, number, start, frames, v1, v2, v1_by_shift, search "
            "FROM tracks JOIN discs ON discs.id = tracks.disc_id ORDER BY discs.name, number"
        ):
            shifts = struct.unpack(f"<{2 * search + 1}I", blob)
            by_shift = {shift: shifts[shift + search] for shift in range(-search, search + 1)}
            assert by_shift[0] == v1
            key = os.fsdecode(name) if isinstance(name, bytes) else name
            found.setdefault(key, []).append((number, start, frames, by_shift, v2))
    return found


@pytest.fixture(scope="module")
def scans(tmp_path_factory):
    """Three scans of one library: first, unchanged, after an audio and a tag change."""
    root = tmp_path_factory.mktemp("library") / "music"
    library = build(root)
    db = root.parent / "library.db"
    options = ("--library", root, "--db", db, "--jobs", "2", "--search", str(SEARCH))
    first = run(*options, "--json")
    unchanged = run(*options)

    changed = root / "Gamma/Audio change/02.wav"
    audio = noise(999, 210)
    write_wav(changed, audio, RATE)
    stat = changed.stat()
    os.utime(changed, ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))
    first_track = library.streams["Gamma/Audio change"][:230]
    library.expected["Gamma/Audio change"] = model(first_track + audio, [(0, 230), (230, 210)])

    import mutagen.flac

    tagged = mutagen.flac.FLAC(root / "Beta/Flac/01.flac")
    tagged["TITLE"] = "A title added later"
    tagged.save()
    for name in FAILED:
        shutil.rmtree(root / name.split("/disc.cue")[0])
    after = run(*options, "--json")
    return root, db, library, first, unchanged, after


def as_rows(disc: dict) -> list[Row]:
    return [
        (t["track"], t["start"], t["frames"], {int(s): v for s, v in t["v1_by_shift"].items()}, t["v2"])
        for t in disc["tracks"]
    ]


def test_first_scan_finds_every_disc_and_matches_the_model(scans):
    root, _, library, first, _, _ = scans
    assert first.status == 1  # three discs failed
    discs = first.by_name(root)
    assert sorted(discs) == ORDER  # in the order they were recorded
    assert first.document["summary"] == {
        "checked": 0, "skipped": 0, "changed": 0, "restored": 0, "missing": 0, "moved": 0,
        "new": 10, "failed": 3,
    }
    for name, expected in library.expected.items():
        if name == "Gamma/Audio change":
            continue  # its audio was changed since
        disc = discs[shown(name)]
        assert disc["status"] == "new", name
        assert as_rows(disc) == expected, name
        assert {t["change"] for t in disc["tracks"]} == {None}
    for name, file in FAILED.items():
        assert discs[name]["status"] == "failed" and file in discs[name]["error"]
    assert set(discs["Gamma/Damaged"]) == {"path", "status", "tracks", "error"}


def test_rescan_skips_what_is_unchanged_and_retries_what_failed(scans):
    _, _, _, _, unchanged, _ = scans
    assert unchanged.status == 1
    lines = unchanged.out.splitlines()
    assert lines[-1] == "13 discs: 0 checked, 10 skipped as unchanged, 0 changed, 3 failed"
    assert sorted(line.split()[1].rstrip(":") for line in lines[:-1]) == sorted(FAILED)
    assert all(line.startswith("failed ") for line in lines[:-1])


def test_changed_audio_and_changed_tags_are_told_apart(scans):
    root, db, library, _, _, after = scans
    assert after.status == 3
    assert after.document["summary"] == {
        "checked": 1, "skipped": 8, "changed": 1, "restored": 0, "missing": 3, "moved": 0,
        "new": 0, "failed": 0,
    }
    discs = after.by_name(root)
    audio, tags = discs["Gamma/Audio change"], discs["Beta/Flac"]
    assert audio["status"] == "changed"
    assert [t["change"] for t in audio["tracks"]] == ["unchanged audio", "audio changed"]
    assert as_rows(audio) == library.expected["Gamma/Audio change"]
    assert tags["status"] == "checked"
    assert [t["change"] for t in tags["tracks"]] == ["unchanged audio"] * 2
    # The database holds the model's checksums of every disc as it is now.
    assert rows(db) == library.expected
    with sqlite3.connect(db) as connection:
        assert connection.execute("PRAGMA journal_mode").fetchone() == ("wal",)
        assert connection.execute(
            'SELECT checked, skipped, changed, failed, missing, "new" FROM runs '
            "WHERE finished IS NOT NULL"
        ).fetchall() == [(0, 0, 0, 3, 0, 10), (0, 10, 0, 3, 0, 0), (1, 8, 1, 0, 3, 0)]
        cafe = connection.execute("SELECT path FROM discs WHERE name = ?", (b"Caf\xe9",))
        assert cafe.fetchone()[0] == os.fsencode(root) + b"/Caf\xe9"  # not UTF-8: a blob


def test_a_dask_cluster_gives_the_same_rows(scans, tmp_path):
    distributed = pytest.importorskip("distributed")
    root, db, _, _, _, _ = scans
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        dask = run("--library", root, "--db", tmp_path / "dask.db", "--scheduler",
                   cluster.scheduler_address, "--search", str(SEARCH))
    assert dask.status == 0, dask.err
    assert dask.out.splitlines()[-1].endswith(" 10 new")
    assert rows(tmp_path / "dask.db") == rows(db)


def test_another_copy_is_verified_against_the_database(scans, tmp_path):
    root, db, _, _, _, _ = scans
    copy = tmp_path / "copy"
    shutil.copytree(root / "Alpha", copy / "Alpha", symlinks=True)
    tracks = copy / "Alpha/Tracks/2.wav"
    data = bytearray(tracks.read_bytes())
    data[44 + 4 * 100] ^= 1  # one sample of track 2, in its counted window
    tracks.write_bytes(bytes(data))
    shutil.copytree(root / "Beta/Box/CD2", copy / "Alpha/New")
    verified = run("--library", copy, "--db", tmp_path / "copy.db", "--expect-db", db, "--json",
                   "--jobs", "1")
    assert verified.status == 3
    discs = verified.by_name(copy)
    assert discs["Alpha/Image/disc.cue"]["verification"]["matched_tracks"] == 3
    assert discs["Alpha/Gapped/disc.cue"]["verification"]["offset"] == 0
    assert [t["verification"]["matched"] for t in discs["Alpha/Tracks"]["tracks"]] == [
        True, False, True,
    ]
    assert "not in" in discs["Alpha/New"]["verification"]["error"]


def test_an_interrupted_scan_keeps_whole_discs_and_resumes(tmp_path):
    root, db = tmp_path / "music", tmp_path / "library.db"
    for name in ("a1", "a2"):
        (root / name).mkdir(parents=True)
        write_wav(root / name / "01.wav", noise(len(name), 200), RATE)
    # A disc of silence, long enough to be interrupted in (a sparse file).
    big = root / "b-long" / "01.wav"
    big.parent.mkdir()
    data_bytes = 2**31
    with big.open("wb") as file:
        file.write(b"RIFF" + struct.pack("<I", 36 + data_bytes) + b"WAVEfmt ")
        file.write(struct.pack("<IHHIIHH", 16, 1, 2, 44100, 44100 * 4, 4, 16))
        file.write(b"data" + struct.pack("<I", data_bytes))
        file.truncate(44 + data_bytes)
    for name in ("c1", "c2"):
        (root / name).mkdir()
        write_wav(root / name / "01.wav", noise(len(name), 200), RATE)
    command = [sys.executable, "-m", "orvane.isotrak", "--library", str(root), "--db", str(db)]
    # In a session of its own, so that Ctrl-C reaches its workers too, as
    # from a terminal.
    process = subprocess.Popen([*command, "--jobs", "1"], stderr=subprocess.PIPE,
                               stdout=subprocess.PIPE, start_new_session=True)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and _whole_discs(db) < 2:
        time.sleep(0.02)
    os.killpg(process.pid, signal.SIGINT)
    out, err = process.communicate(timeout=20)
    assert process.returncode == 130
    # The report is written as discs are recorded: those, and no summary.
    assert out == b"new      a1\nnew      a2\n" and err.splitlines()[-1] == b"orvane-isotrak: interrupted"
    assert b"Traceback" not in err
    assert _whole_discs(db) == 2
    with sqlite3.connect(db) as connection:
        assert connection.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        assert connection.execute("SELECT finished FROM runs").fetchall() == [(None,)]
    shutil.rmtree(big.parent)
    resumed = subprocess.run(command, capture_output=True, timeout=60)
    assert resumed.returncode == 0
    assert resumed.stdout.endswith(
        b"4 discs: 0 checked, 2 skipped as unchanged, 0 changed, 0 failed, 2 new\n"
    )


def _whole_discs(db: Path) -> int:
    """The discs recorded, each of which must hold all its tracks (one each here)."""
    if not db.exists():
        return 0
    with sqlite3.connect(db, timeout=10) as connection:
        try:
            counts = connection.execute(
                "SELECT count(tracks.number) FROM discs LEFT JOIN tracks ON tracks.disc_id = discs.id "
                "GROUP BY discs.id"
            ).fetchall()
        except sqlite3.OperationalError:  # the tables are being made
            return 0
    assert all(count == (1,) for count in counts)
    return len(counts)


# The first schema, as a database of that version holds it.
VERSION_1 = """
CREATE TABLE runs (id INTEGER PRIMARY KEY, started TEXT NOT NULL, finished TEXT, root TEXT,
    options TEXT NOT NULL, checked INTEGER NOT NULL DEFAULT 0, skipped INTEGER NOT NULL DEFAULT 0,
    changed INTEGER NOT NULL DEFAULT 0, failed INTEGER NOT NULL DEFAULT 0);
CREATE TABLE discs (id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE, name TEXT NOT NULL,
    sheet INTEGER NOT NULL, status TEXT NOT NULL CHECK (status IN ('checked', 'changed', 'failed')),
    error TEXT, run INTEGER REFERENCES runs (id), checked_at TEXT, sample_rate INTEGER,
    search INTEGER, v2_offset INTEGER, hidden_frames INTEGER, skipped_tracks TEXT, warnings TEXT);
CREATE INDEX discs_name ON discs (name);
CREATE TABLE files (disc INTEGER NOT NULL REFERENCES discs (id) ON DELETE CASCADE,
    position INTEGER NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL, mtime INTEGER NOT NULL,
    PRIMARY KEY (disc, position));
CREATE INDEX files_path ON files (path);
CREATE TABLE tracks (disc_id INTEGER NOT NULL REFERENCES discs (id) ON DELETE CASCADE,
    number INTEGER NOT NULL, file TEXT NOT NULL, start INTEGER NOT NULL, frames INTEGER NOT NULL,
    v1 INTEGER NOT NULL, v2 INTEGER NOT NULL, v1_by_shift BLOB NOT NULL, change TEXT,
    PRIMARY KEY (disc_id, number));
INSERT INTO discs VALUES (1, '/music/a', 'a', 0, 'checked', NULL, NULL, '2020-01-01T00:00:00+00:00',
    44100, 0, 0, 0, '[]', '[]');
INSERT INTO files VALUES (1, 0, '/music/a/01.wav', 1000, 5);
INSERT INTO tracks VALUES (1, 1, '/music/a/01.wav', 0, 250, 305419896, 7, x'78563412', NULL);
PRAGMA user_version = 1;
"""


@pytest.mark.parametrize(
    ("script", "refused"),
    [
        (VERSION_1, None),
        ("PRAGMA user_version = 99;", "schema version 99 is newer"),
    ],
    ids=["version 1", "newer"],
)
def test_older_databases_are_migrated_and_others_refused(tmp_path, script, refused):
    db = tmp_path / "library.db"
    with sqlite3.connect(db) as connection:
        connection.executescript(script)
    connection.close()
    if refused is not None:
        with pytest.raises(StoreError, match=refused):
            Store(db)
        return
    with Store(db) as store:
        stored = store.stored("/music/a")
    assert stored is not None and stored.result is not None
    track = stored.result.tracks[0]
    assert (track.frames, dict(track.checksums_v1), track.checksum_v2) == (250, {0: 0x12345678}, 7)
    assert stored.files[0].mtime == 5
    with sqlite3.connect(db) as connection:
        assert connection.execute("PRAGMA user_version").fetchone() == (SCHEMA_VERSION,)
        assert connection.execute("SELECT matched, verification FROM tracks").fetchall() == [
            (None, None)
        ]


def test_a_second_scan_is_refused_and_recheck_checks_all_again(tmp_path):
    (tmp_path / "music/a").mkdir(parents=True)
    write_wav(tmp_path / "music/a/01.wav", noise(1, 200), RATE)
    db = tmp_path / "library.db"
    options = ("--library", tmp_path / "music", "--db", db, "--jobs", "1")
    with Store(db):  # a scan that is running
        busy = run(*options)
    assert busy.status == 1
    assert busy.err == (
        f"orvane-isotrak: error: {db}: another scan is using this database; "
        "run again when it has finished\n"
    )
    assert run(*options).status == 0
    again = run(*options, "--recheck", "--json").document["discs"][0]
    assert again["status"] == "checked" and again["tracks"][0]["change"] == "unchanged audio"


@pytest.mark.parametrize(
    "argv",
    [
        ["--library", "music"],
        ["--library", "music", "--db", "x.db", "--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"],
        ["--library", "music", "--db", "x.db", "01.wav"],
        ["--library", "music", "--db", "x.db", "--jobs", "0"],
        ["--library", "music", "--db", "x.db", "--jobs", "2147483648"],
        ["--library", "music", "--db", "x.db", "--jobs", str(10**20)],
        ["--library", "music", "--db", "x.db", "--scheduler-timeout", "5"],
        ["--library", "music", "--db", "x.db", "--scheduler", "tcp://h:1", "--scheduler-timeout", "nan"],
        ["--library", "music", "--db", "x.db", "--expect", "ref.json"],
        ["--library", "music", "--db", "x.db", "--scheduler", "nonsense://x"],
        ["--db", "x.db", "01.wav"],
        ["--library", "music", "--db", ""],
        ["--library", "", "--db", "x.db"],
        ["--library", "music", "--db", "x.db", "--recheck-older-than", "soon"],
        ["--report"],
        ["--db", "x.db", "--report", "--status", "gone"],
    ],
)
def test_bad_usage_of_library_mode(argv, capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    assert exit_info.value.code == 2
    last = capsys.readouterr().err.splitlines()[-1]
    assert last.removeprefix("orvane-isotrak: error: ").removeprefix("argument ").startswith("--")


def flac(path: Path, audio: list, md5: bytes | None = None) -> None:
    """A FLAC file of the audio; ``md5`` written over the one STREAMINFO holds."""
    import numpy
    import soundfile

    soundfile.write(path, numpy.array(audio, dtype=numpy.int16), RATE, subtype="PCM_16", format="FLAC")
    if md5 is not None:
        data = bytearray(path.read_bytes())
        data[26:42] = md5  # fLaC, the block's header, 18 bytes of STREAMINFO, then its MD5
        path.write_bytes(bytes(data))


@pytest.mark.parametrize("data_track", [False, True], ids=["read-whole", "decoded-again"])
@pytest.mark.parametrize("md5", [None, bytes(range(1, 17))], ids=["good", "rotten"])
def test_a_flac_image_is_judged_by_its_md5_however_much_of_it_was_read(tmp_path, data_track, md5):
    """The checksums read an image whole, or (before a data track at its end)
    not: either way its audio is set against its STREAMINFO MD5."""
    pytest.importorskip("soundfile")
    from orvane.isotrak.library import DiscJob, check_library_disc

    flac(tmp_path / "image.flac", noise(12, 600), md5=md5)
    mode = "MODE1/2352" if data_track else "AUDIO"
    (tmp_path / "disc.cue").write_text(
        'FILE "image.flac" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n'
        f"  TRACK 02 AUDIO\n    INDEX 01 00:00:20\n  TRACK 03 {mode}\n    INDEX 01 00:00:40\n"
    )
    checked = check_library_disc(DiscJob(str(tmp_path / "disc.cue")))
    assert checked.error is None
    rotten = f"{tmp_path}/image.flac: audio does not match its FLAC MD5"
    assert checked.damage == (() if md5 is None else (rotten,))


def flip_in_place(path: Path, at: int) -> None:
    """Flip a bit of a file, its size and modification time left as they were."""
    state = path.stat()
    data = bytearray(path.read_bytes())
    data[at] ^= 1
    path.write_bytes(bytes(data))
    os.utime(path, ns=(state.st_atime_ns, state.st_mtime_ns))


def test_a_library_remembers_its_discs(tmp_path):
    """One library through a story: damaged, restored, accepted, re-encoded,
    moved, deleted, rotted; its database reported, and damaged."""
    pytest.importorskip("soundfile")
    root, db = tmp_path / "music", tmp_path / "library.db"
    audio = {name: noise(seed, 200) for seed, name in enumerate("ABCDE")}
    for name, frames in audio.items():
        (root / name).mkdir(parents=True)
        write_wav(root / name / "01.wav", frames, RATE)
    write_wav(root / "A/02.wav", noise(9, 150), RATE)
    good = (root / "A/02.wav").read_bytes()

    def scan(*more: str) -> Run:
        return run("--library", root, "--db", db, "--jobs", "1", *more)

    def report(*more: str) -> Run:
        return run("--db", db, "--report", *more)

    def damage_a() -> None:
        write_wav(root / "A/02.wav", noise(10, 150), RATE)
        os.utime(root / "A/02.wav", ns=(0, 10**18))

    first = scan("--json")
    assert first.status == 0
    assert {d["status"] for d in first.document["discs"]} == {"new"}
    disc = first.document["discs"][0]
    assert (disc["sample_rate"], disc["hidden_frames"], disc["skipped_tracks"]) == (RATE, 0, [])
    assert "not CD audio" in disc["warnings"][0]

    damage_a()
    for _ in range(3):  # changed, and still changed until accepted
        changed = scan()
        assert changed.status == 3
        assert changed.out.startswith("changed  A: audio changed in track 2")
    assert report().out.splitlines()[0] == "changed  A: audio changed in track 2"
    assert report().status == 3

    (root / "A/02.wav").write_bytes(good)  # from a backup
    restored = scan()
    assert restored.status == 0
    assert restored.out.startswith("restored A: audio back to its known-good checksums")
    assert scan().out.splitlines()[-1] == "5 discs: 0 checked, 5 skipped as unchanged, 0 changed, 0 failed"
    assert (report().status, report().out.splitlines()[0]) == (0, "checked  A")

    damage_a()
    accepted = scan("--accept", "A")
    assert accepted.status == 0
    assert accepted.out.startswith("checked  A: audio changed in track 2; accepted as known-good")
    assert scan().status == 0

    (root / "C/01.wav").unlink()  # re-encoded
    flac(root / "C/01.flac", audio["C"])
    reencoded = scan("--json").by_name(root)["C"]
    assert reencoded["status"] == "checked"
    assert [t["change"] for t in reencoded["tracks"]] == ["unchanged audio"]

    (root / "D").rename(root / "D moved")
    (root / "E/01.wav").unlink()
    (root / "E").rmdir()
    moved = scan()
    assert moved.status == 3
    assert moved.out.splitlines()[:2] == [
        f"moved    D moved: moved from {root}/D",
        "missing  E: its files are gone",
    ]
    with sqlite3.connect(db) as connection:
        history = connection.execute(
            "SELECT checks.status FROM checks JOIN discs ON discs.id = checks.disc "
            "WHERE discs.name = 'D moved' ORDER BY checks.id"
        ).fetchall()
        accepts = connection.execute("SELECT count(*) FROM checks WHERE accepted = 1").fetchone()
    connection.close()
    assert history == [("new",), ("moved",)] and accepts == (1,)
    assert report("--status", "missing").out.splitlines() == ["missing  E", "1 disc stored: 1 missing"]
    assert scan().out.splitlines()[0] == "missing  E: its files are gone"
    pruned = scan("--prune")
    assert (pruned.status, pruned.out.splitlines()[0]) == (3, "missing  E: its files are gone; pruned")
    assert scan().status == 0

    (root / "F").mkdir()
    flac(root / "F/01.flac", noise(11, 200), md5=bytes(range(1, 17)))
    rotten = scan()
    assert rotten.status == 3
    assert rotten.out.splitlines()[0] == (
        f"changed  F: {root}/F/01.flac: audio does not match its FLAC MD5"
    )
    (root / "F/01.flac").unlink()
    (root / "F").rmdir()
    scan("--prune")

    flip_in_place(root / "B/01.wav", 44 + 4 * 100)
    assert scan().status == 0  # size and time as stored: not read
    found = scan("--recheck-older-than", "0s")
    assert (found.status, found.out.splitlines()[0]) == (3, "changed  B: audio changed in track 1")
    stored = json.loads(report("--json", "--status", "changed,missing").out)
    assert [(d["name"], d["status"]) for d in stored["discs"]] == [("B", "changed")]
    assert stored["summary"] == {"changed": 1, "missing": 0}
    assert sorted(path.name for path in tmp_path.iterdir()) == ["library.db", "library.db.lock", "music"]

    # Damaged rows: the disc is checked afresh, and named as not matched.
    with sqlite3.connect(db) as connection:
        connection.execute(
            "UPDATE tracks SET v1_by_shift = x'00', v1 = 'x' WHERE disc_id = "
            "(SELECT id FROM discs WHERE name = 'A')"
        )
    connection.close()
    before = db.read_bytes()
    verified = run("--library", root, "--db", tmp_path / "copy.db", "--expect-db", db, "--json")
    assert db.read_bytes() == before
    assert "cannot be read" in verified.by_name(root)["A"]["verification"]["error"]
    assert verified.document["summary"]["unmatched"] == 1
    again = scan("--recheck")
    assert "cannot be read" in again.err and "checked afresh" in again.err
    assert "Traceback" not in again.err


@pytest.mark.parametrize(
    "content",
    [
        "CREATE TABLE songs (title TEXT);",
        "PRAGMA journal_mode = WAL; CREATE TABLE songs (title TEXT); PRAGMA user_version = 2;",
        b"this is no database, only text " * 200,
    ],
    ids=["another program's", "another program's of version 2", "damaged"],
)
def test_a_database_not_ours_is_left_as_it_was(tmp_path, content):
    db = tmp_path / "other.db"
    if isinstance(content, bytes):
        db.write_bytes(content)
    else:
        with sqlite3.connect(db) as connection:
            connection.executescript(content)
        connection.close()
    before = db.read_bytes()
    (tmp_path / "music").mkdir()
    refused = run("--library", tmp_path / "music", "--db", db)
    assert refused.status == 1
    assert refused.err.startswith(f"orvane-isotrak: error: {db}: ") and len(refused.err.splitlines()) == 1
    assert db.read_bytes() == before
    assert sorted(path.name for path in tmp_path.iterdir()) == ["music", "other.db"]


def test_the_progress_moves_with_the_audio_read(tmp_path):
    from orvane.isotrak.library import check_library, process_pool

    (tmp_path / "music/long").mkdir(parents=True)
    (tmp_path / "music/short").mkdir()
    write_wav(tmp_path / "music/long/01.wav", bytes(4 * 700_000), 44100)  # three blocks read
    write_wav(tmp_path / "music/short/01.wav", noise(1, 200), RATE)
    parts: list[float] = []
    with process_pool(1) as pool:
        check_library(tmp_path / "music", pool, tmp_path / "library.db", advance=parts.append)
    assert sum(parts) == pytest.approx(2)
    assert len([part for part in parts if 0 < part < 1]) >= 2  # the long disc, read in parts


@pytest.mark.parametrize(
    ("discs", "size", "inline"),
    [(1, 2**40, 0), (3, 2**40, 0.0001), (32, 1, 1e9)],
    ids=["one disc a task, all in workers", "three a task, the first here", "each over the size, all here"],
)
def test_a_scan_in_batches_stores_the_rows_of_one_disc_at_a_time(scans, tmp_path, monkeypatch,
                                                                 discs, size, inline):
    from orvane.isotrak import library

    root, db, _, _, _, _ = scans  # db: all of the library's discs in one batch
    monkeypatch.setattr(library, "BATCH_DISCS", discs)
    monkeypatch.setattr(library, "BATCH_BYTES", size)
    monkeypatch.setattr(library, "INLINE_SECONDS", inline)  # checked here till then
    done = run("--library", root, "--db", tmp_path / "batched.db", "--jobs", "2", "--search", str(SEARCH))
    assert done.out.splitlines()[-1].endswith(" 10 new")
    assert rows(tmp_path / "batched.db") == rows(db)


def small_library(root: Path) -> None:
    """Two folders of tracks and an image with its sheet."""
    for seed, name in enumerate(("a", "b"), 1):
        (root / name).mkdir(parents=True)
        write_wav(root / name / "01.wav", noise(seed, 200), RATE)
    (root / "c").mkdir()
    write_wav(root / "c/image.wav", noise(3, 300), RATE)
    (root / "c/disc.cue").write_text(cue([("image.wav", ["01 00:00:00"])]))


def traced(monkeypatch) -> list[str]:
    """The SQL statements the scans from now on run."""
    from orvane.isotrak import store

    statements: list[str] = []
    connect = store._connect

    def connected(*args, **options):
        connection = connect(*args, **options)
        connection.set_trace_callback(statements.append)
        return connection

    monkeypatch.setattr(store, "_connect", connected)
    return statements


def test_an_unchanged_rescan_writes_only_its_run_in_one_transaction(tmp_path, monkeypatch):
    root, db = tmp_path / "music", tmp_path / "library.db"
    small_library(root)
    assert run("--library", root, "--db", db).status == 0
    statements = traced(monkeypatch)
    rescan = run("--library", root, "--db", db)
    assert rescan.out == "3 discs: 0 checked, 3 skipped as unchanged, 0 changed, 0 failed\n"
    writes = [s.split()[0] for s in statements if s.split()[0] in ("BEGIN", "INSERT", "UPDATE", "DELETE")]
    assert writes == ["BEGIN", "INSERT", "UPDATE"]  # the run, and its end with its skips
    with sqlite3.connect(db) as connection:
        assert connection.execute("SELECT skipped, finished IS NOT NULL FROM runs").fetchall()[-1] == (3, 1)
    connection.close()


@pytest.mark.parametrize(
    ("change", "status"),
    [("nothing", 0), ("a disc removed", 3), ("no disc", 0), ("a small disc added", 0)],
)
def test_a_run_that_needs_no_checking_starts_no_worker(tmp_path, monkeypatch, change, status):
    # A small disc is checked in the tool's own process: a pool would cost more.
    from orvane.isotrak import library

    root, db = tmp_path / "music", tmp_path / "library.db"
    if change == "no disc":
        root.mkdir()
    else:
        small_library(root)
        assert run("--library", root, "--db", db).status == 0
    if change == "a disc removed":
        shutil.rmtree(root / "a")
    if change == "a small disc added":
        shutil.copytree(root / "a", root / "d")
    started: list[object] = []
    monkeypatch.setattr(library, "process_pool", started.append)
    done = run("--library", root, "--db", db)
    assert (done.status, started) == (status, [])
    assert "error" not in done.err
    if change == "nothing":
        # Nor is any of the checking code loaded: no sheet parser, decoder or checksum.
        loaded = subprocess.run(
            [sys.executable, "-c", "import sys; from orvane.isotrak import main; "
             "main(sys.argv[1:]); print(*sorted(sys.modules))", "--library", root, "--db", db],
            capture_output=True, text=True, check=True,
        ).stdout.split()
        heavy = {"orvane.isotrak.cuesheet", "orvane.isotrak.checksums", "orvane.isotrak.discs",
                 "orvane.isotrak.audio.formats", "orvane._isotrak", "soundfile", "mutagen"}
        assert heavy.isdisjoint(loaded)


@pytest.mark.parametrize("scan", ["first", "rescan", "expect-db", "empty"])
def test_the_streamed_json_of_a_library_is_one_disc_a_line(tmp_path, scan):
    root, db = tmp_path / "music", tmp_path / "library.db"
    if scan == "empty":
        root.mkdir()
    else:
        small_library(root)
    if scan != "first":
        run("--library", root, "--db", db)
    more = ("--expect-db", db) if scan == "expect-db" else ()
    done = run("--library", root, "--db", tmp_path / "other.db" if more else db, "--json", *more)
    document, lines = json.loads(done.out), done.out.splitlines()
    assert list(document) == ["discs", "summary"]
    assert len(document["discs"]) == (0 if scan == "empty" else 3)
    assert [json.loads(line.rstrip(",")) for line in lines[1:-1]] == document["discs"]
    summary = json.dumps(document["summary"], separators=(",", ":"))
    if document["discs"]:
        assert (lines[0], lines[-1]) == ('{"discs":[', f'],"summary":{summary}}}')
    else:
        assert lines == [f'{{"discs":[],"summary":{summary}}}']
    status = {"first": "new", "rescan": "skipped", "expect-db": "new"}.get(scan)
    for disc in document["discs"]:
        assert disc["status"] == status and len(disc["tracks"]) == 1
        assert {"path", "tracks", "sample_rate", "warnings"} <= set(disc)
        assert ("verification" in disc) == bool(more)
    if more:
        assert document["summary"]["matched"] == 3
