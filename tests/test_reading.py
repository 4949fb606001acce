"""Reading a disc stretch by stretch in worker threads, or in order in one:
the same checksums as the model, and the same refusals, however many
threads and however small the reads.  Also the compact results, the JSON
written in pieces, and a start-up that imports nothing heavy."""

from __future__ import annotations

import json
import pickle
import struct
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import numpy as np
import pytest
import soundfile
from hypothesis import given, settings
from hypothesis import strategies as st
from isotrak_model import Frame, disc_sums, sl16_bytes, write_wav
from conftest import noise_disc

from orvane.isotrak import Checksum, IncompleteDisc, IsotrakWarning, PCMTrack, check_disc
from orvane.isotrak import checksums as checksums_module
from orvane.isotrak.audio import AudioFile, libsndfile
from orvane.isotrak.audio.libsndfile import SoundFileAudio
from orvane.isotrak.report import format_json, json_document
from orvane.isotrak.results import ShiftChecksums

RATE = 750  # a lead-in skip of 50 frames


def write_tracks(folder: Path, tracks: list[list[Frame]], flac: bool) -> list[Path]:
    paths = []
    for number, track in enumerate(tracks, 1):
        if flac:
            path = folder / f"t{number}.flac"
            soundfile.write(path, np.array(track, np.int16).reshape(-1, 2), RATE, subtype="PCM_16")
        else:
            path = write_wav(folder / f"t{number}.wav", track, RATE)
        paths.append(path)
    return paths


def reading(monkeypatch: pytest.MonkeyPatch, block: int) -> None:
    """Read in reads of ``block`` frames."""
    monkeypatch.setattr(AudioFile, "read_frames", block)
    monkeypatch.setattr(SoundFileAudio, "read_frames", block)


def model(results) -> list[tuple[dict[int, int], int]]:
    return [(dict(result.checksums_v1), result.checksum_v2) for result in results]


@settings(max_examples=30, deadline=None)
@given(
    lengths=st.lists(st.integers(1, 300), min_size=1, max_size=4),
    search=st.integers(0, 80),
    v2_offset=st.integers(-40, 40),
    threads=st.sampled_from([1, 2, 3]),
    block=st.sampled_from([1, 5, 64, 4096]),
    flac=st.booleans(),
    placed=st.booleans(),
    seed=st.integers(0, 2**16),
)
def test_every_way_of_reading_gives_the_model(lengths, search, v2_offset, threads, block, flac,
                                              placed, seed):
    tracks = noise_disc(seed, lengths)
    with tempfile.TemporaryDirectory() as folder, pytest.MonkeyPatch.context() as patch:
        paths = write_tracks(Path(folder), tracks, flac)
        reading(patch, block)
        if placed:  # decoders read through a file object, as where /proc is missing
            patch.setattr(libsndfile, "_own_descriptor", lambda input: None)
        results = check_disc(paths, search=search, v2_offset=v2_offset, threads=threads).tracks
    assert model(results) == disc_sums(tracks, RATE, search, v2_offset)


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_a_file_failing_part_way_fails_its_track_alone(tmp_path, monkeypatch, threads):
    tracks = noise_disc(5, [3000, 2500, 30000, 3000, 2000])
    paths = write_tracks(tmp_path, tracks, flac=True)
    data = paths[2].read_bytes()
    paths[2].write_bytes(data[: len(data) * 2 // 3])  # the header still says 30000 frames
    reading(monkeypatch, 256)
    with pytest.warns(IsotrakWarning, match="track 4 .*: its shifts reach 40 frames that could not"):
        results = check_disc(paths, search=40, threads=threads).tracks
    assert [track.error is not None for track in results] == [False, False, True, False, False]
    assert results[2].error.startswith(f"{paths[2]}: ") and not results[2].checksums_v1
    expected = disc_sums(tracks, RATE, 40, 0)
    assert model(results[:2]) == expected[:2] and model(results[4:]) == expected[4:]
    # Track 4's negative shifts read the failed file's last frames.
    assert {s: v for s, v in results[3].checksums_v1.items() if s >= 0} == {
        s: v for s, v in expected[3][0].items() if s >= 0
    }


def test_a_stream_failing_part_way_ends_the_disc(tmp_path):
    tracks = noise_disc(5, [300, 250, 400])
    sources = [PCMTrack(f"t{n}", len(t), RATE, [sl16_bytes(t)]) for n, t in enumerate(tracks, 1)]
    sources[1] = PCMTrack("t2", 250, RATE, [sl16_bytes(tracks[1])[:400]])
    with pytest.raises(IncompleteDisc) as failed:
        check_disc(sources)
    assert str(failed.value) == "t2: ends after 100 of its 250 frames"
    assert [track.number for track in failed.value.results.tracks] == [1]


@pytest.mark.parametrize("threads", [1, 2])
def test_an_interruption_ends_every_thread(tmp_path, monkeypatch, threads):
    class Interrupted(Checksum):
        def update_bytes(self, data: object, /) -> None:
            raise KeyboardInterrupt

    paths = write_tracks(tmp_path, noise_disc(3, [5000, 5000, 5000]), flac=True)
    reading(monkeypatch, 64)
    monkeypatch.setattr(checksums_module, "Checksum", Interrupted)
    with pytest.raises(KeyboardInterrupt):
        check_disc(paths, search=5, threads=threads)
    assert not [t for t in threading.enumerate() if t.name.startswith("orvane-read")]


def test_shift_checksums_stand_in_for_a_dict(tmp_path):
    # 0x00AB0000 straddles the words 0xAB000000 and 0x00000000: not a match.
    words = [0x12345678, 0xAB000000, 0x00000000, 0x12345678, 0xFFFFFFFF]
    checksums = ShiftChecksums(struct.pack("<5I", *words), 2)
    plain = dict(zip(range(-2, 3), words))
    assert checksums == plain and dict(checksums) == plain and list(checksums) == [-2, -1, 0, 1, 2]
    assert pickle.loads(pickle.dumps(checksums)) == checksums
    assert list(checksums.shifts_of(0x12345678)) == [-2, 1]
    assert list(checksums.shifts_of(0x00AB0000)) == [] and list(checksums.shifts_of(2**32)) == []
    assert 3 not in checksums and checksums.get(-3) is None
    with pytest.raises(KeyError):
        checksums[3]
    with pytest.raises(ValueError):
        ShiftChecksums(bytes(16), 2)

    disc = check_disc(write_tracks(tmp_path, noise_disc(4, [900, 700]), flac=False), search=3)
    assert format_json(disc) == json.dumps(json_document(disc), indent=2)


def test_the_command_line_starts_without_its_heavy_parts():
    heavy = ["numpy", "soundfile", "mutagen", "charset_normalizer", "tqdm", "orvane.pcm"]
    script = (
        "import sys\n"
        "from orvane.isotrak import main\n"
        "try:\n    main(['--version'])\nexcept SystemExit:\n    pass\n"
        f"print([name for name in {heavy!r} if name in sys.modules])\n"
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True)
    assert run.stdout.startswith("orvane-isotrak ") and run.stdout.splitlines()[-1] == "[]"
    # Every name is there all the same, imported when asked for.
    names = "import orvane.isotrak as i; print(all(getattr(i, n) for n in i.__all__))"
    assert subprocess.run([sys.executable, "-c", names], capture_output=True, text=True,
                          check=True).stdout == "True\n"


@pytest.mark.parametrize("name", ["image", "hidden audio", "data track first",
                                  "data track last", "pregap and postgap",
                                  "MOTOROLA image"])
@pytest.mark.parametrize("threads", [1, 2])
def test_sheets_read_in_threads_give_the_hand_cut_stream(tmp_path, monkeypatch, name, threads):
    from test_discs import CASES, Case

    case = Case(tmp_path)
    CASES[name](case)
    reading(monkeypatch, 97)
    disc = check_disc(tmp_path / case.sheet, search=12, v2_offset=-7, threads=threads)
    got = [(t.number, t.start, t.frames, dict(t.checksums_v1), t.checksum_v2) for t in disc.tracks]
    assert got == case.expected(12, -7)
