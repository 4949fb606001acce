"""The rip verification tool: orvane.isotrak's API and command line, end to end.

Results are checked against the plain model in isotrak_model.py and against
the unshifted checksums of shifted data, never against the tool's own
arithmetic.  Most discs here run at 750 Hz, whose lead-in skip of 50
frames keeps the tracks short.
"""

from __future__ import annotations

import hashlib
import json
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from isotrak_model import Frame, disc_sums, frame_value, sl16_bytes, track_sums, write_wav
from conftest import noise_disc, shifted

from orvane import isotrak
from orvane.isotrak.demo import DEMO_TRACK_FRAMES, demo_track_samples
from orvane.isotrak import Checksum, PCMTrack, TrackError, disc_checksums, main
from orvane.isotrak.audio import READ_BYTES
from orvane.pcm import FrameList

RATE = 750  # lead-in skip 5 * (750 // 75) = 50 frames


def write_disc(folder: Path, tracks: list[list[Frame]], rate: int = RATE) -> list[Path]:
    return [write_wav(folder / f"t{n + 1}.wav", track, rate) for n, track in enumerate(tracks)]


def as_model(results: list[isotrak.TrackResult]) -> list[tuple[dict[int, int], int]]:
    return [(dict(result.checksums_v1), result.checksum_v2) for result in results]


# -- results against the model -------------------------------------------------


@pytest.mark.parametrize(
    ("values", "shifts", "v2_offset", "expected"),
    [
        ([1, 2, 3, 4, 5], [0, 1], 1, ({0: 30, 1: 40}, 40)),  # 1*2 + 2*3 + 3*4 + 4*5 = 40
        ([0, frame_value(0, -1)], [0], 0, ({0: 0xFFFE0000}, 0xFFFE0001)),  # 2 * 0xFFFF0000 wraps
    ],
)
def test_model_sums(values, shifts, v2_offset, expected):
    assert frame_value(-1, 1) == 0x1FFFF and frame_value(-32768, -32768) == 0x80008000
    frames = len(values) - max(shifts)
    assert track_sums(values, 0, frames, 44100, False, False, shifts, v2_offset) == expected


@pytest.mark.parametrize(
    ("lengths", "search", "v2_offset"),
    [
        ([400], 0, 0),  # one track: both first and last
        ([400], 4, -3),
        ([300, 260, 310], 0, 0),
        ([300, 260, 310], 5, 2),
        ([300, 3, 1, 310], 6, 0),  # short middle tracks: shifts borrow across several
        ([300, 250], 2, 7),  # a v2 shift beyond the searched ones
        ([300, 250], 2, -9),
    ],
)
def test_wav_disc_matches_model(tmp_path, lengths, search, v2_offset):
    tracks = noise_disc(sum(lengths) + search, lengths)
    results = disc_checksums(write_disc(tmp_path, tracks), search=search, v2_offset=v2_offset)
    assert as_model(results) == disc_sums(tracks, RATE, search, v2_offset)
    assert [r.number for r in results] == list(range(1, len(lengths) + 1))
    assert [r.frames for r in results] == lengths
    assert all(r.checksums_v1[0] == r.checksum_v1 and r.v2_offset == v2_offset for r in results)


def test_sample_rate_sets_lead_in_skip(tmp_path):
    tracks = noise_disc(7, [7000, 6500])
    results = disc_checksums(write_disc(tmp_path, tracks, 44100), search=1)
    assert as_model(results) == disc_sums(tracks, 44100, 1, 0)


@pytest.mark.parametrize("lengths", [[350], [300, 2, 280], [260, 240, 270]])
def test_search_equals_unshifted_checksums_of_shifted_data(tmp_path, lengths):
    search = 4
    tracks = noise_disc(len(lengths), lengths)
    searched = disc_checksums(write_disc(tmp_path, tracks), search=search)
    for shift in range(-search, search + 1):
        folder = tmp_path / f"shift{shift}"
        folder.mkdir()
        unshifted = disc_checksums(write_disc(folder, shifted(tracks, shift)))
        assert [r.checksums_v1[shift] for r in searched] == [r.checksum_v1 for r in unshifted]
    plain = disc_checksums(write_disc(tmp_path / "shift0", tracks))
    assert [r.checksum_v1 for r in searched] == [r.checksum_v1 for r in plain]


def sources(tracks: list[list[Frame]]) -> list[PCMTrack]:
    return [PCMTrack(f"s{n}", len(t), RATE, [sl16_bytes(t)]) for n, t in enumerate(tracks)]


def test_shifts_borrow_frames_from_the_neighbouring_tracks():
    # Track 1 at shift +3 reads the first 3 frames of track 2, and track 2 at
    # shift -3 the last 3 frames of track 1; unshifted, neither reads the other.
    tracks = noise_disc(11, [200, 200])
    base = disc_checksums(sources(tracks), search=3)
    changed = [tracks[0][:-1] + [(1234, -4321)], [(1234, -4321)] + tracks[1][1:]]
    again = disc_checksums(sources([tracks[0], changed[1]]), search=3)
    assert again[0].checksums_v1[3] != base[0].checksums_v1[3]
    assert again[0].checksums_v1[0] == base[0].checksums_v1[0]
    again = disc_checksums(sources([changed[0], tracks[1]]), search=3)
    assert again[1].checksums_v1[-3] != base[1].checksums_v1[-3]
    assert again[1].checksums_v1[0] == base[1].checksums_v1[0]


@pytest.mark.parametrize(
    ("lengths", "track", "frame", "counted"),
    [
        ([300, 300, 300], 0, 10, False),  # first track: frames of the lead-in skip are left out
        ([300, 300, 300], 0, 60, True),
        ([300, 300, 300], 1, 10, True),  # a middle track counts from its first frame
        ([300, 300, 300], 1, 295, True),  # ... to its last
        ([300, 300, 300], 2, 295, False),  # last track: its closing skip is left out
        ([300, 300, 300], 2, 200, True),
        ([300], 0, 10, False),  # a single track is both first and last
        ([300], 0, 295, False),
        ([300], 0, 150, True),
    ],
)
def test_first_and_last_track_leave_out_the_skip(lengths, track, frame, counted):
    tracks = noise_disc(5, lengths)
    before = disc_checksums(sources(tracks))
    tracks[track][frame] = (tracks[track][frame][0] ^ 0x55, tracks[track][frame][1])
    after = disc_checksums(sources(tracks))
    assert (after[track].checksum_v1 != before[track].checksum_v1) is counted


@settings(max_examples=25, deadline=None)
@given(
    first=st.integers(1, 130),
    middle=st.lists(st.integers(1, 40), max_size=3),
    last=st.integers(1, 130),
    search=st.integers(0, 6),
    v2_offset=st.integers(-8, 8),
    cuts=st.lists(st.integers(0, 120), max_size=6),
    as_framelists=st.booleans(),
    seed=st.integers(0, 2**16),
)
def test_any_blocks_from_sources_match_model(
    first, middle, last, search, v2_offset, cuts, as_framelists, seed
):
    # First and last tracks shorter than their skips have empty windows: all sums 0.
    lengths = [first, *middle, last]
    tracks = noise_disc(seed, lengths)

    def blocks(track: list[Frame]) -> list[FrameList | bytes]:
        points = sorted({0, len(track), *(c for c in cuts if c < len(track))})
        pieces = [sl16_bytes(track[a:b]) for a, b in zip(points, points[1:])]
        return [FrameList(p, 2, 16, 0, 1) if as_framelists else p for p in pieces]

    cut = [PCMTrack(f"s{n}", len(t), RATE, blocks(t)) for n, t in enumerate(tracks)]
    results = disc_checksums(cut, search=search, v2_offset=v2_offset)
    assert as_model(results) == disc_sums(tracks, RATE, search, v2_offset)


def test_only_checksums_of_overlapping_tracks_are_alive(monkeypatch):
    alive, most = [0], [0]

    class Counted(Checksum):
        def __init__(self, *args: object, **kwargs: object) -> None:
            super().__init__(*args, **kwargs)  # type: ignore[arg-type]
            alive[0] += 1
            most[0] = max(most[0], alive[0])

        def __del__(self) -> None:
            alive[0] -= 1

    monkeypatch.setattr(isotrak.checksums, "Checksum", Counted)
    disc_checksums(sources(noise_disc(9, [100] * 12)), search=2)
    assert most[0] <= 3 and alive[0] == 0  # a block meets at most three stretches here


def test_progress_counts_every_frame_read(tmp_path):
    tracks = noise_disc(2, [9000, 4000])
    counts: list[int] = []
    disc_checksums(write_disc(tmp_path, tracks), search=2, progress=counts.append)
    assert sum(counts) == 13000 and max(counts) <= READ_BYTES // 4


# -- refusals ------------------------------------------------------------------


def stereo(frames: int) -> list[Frame]:
    return [(n, -n) for n in range(frames)]


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda p: write_wav(p, bytes(600), RATE, channels=1), "1 channel of 16-bit PCM"),
        (lambda p: write_wav(p, bytes(600), RATE, width=3), "2 channels of 24-bit PCM"),
        (lambda p: write_wav(p, bytes(600), RATE, width=1), "2 channels of 8-bit PCM"),
        (lambda p: write_wav(p, b"", RATE), "has no audio frames"),
        (
            lambda p: write_wav(p, stereo(100), 44100),
            "sample rate 44100 Hz differs from the 750 Hz of",
        ),
        (lambda p: p.write_bytes(b"RIFF\x04\x00\x00\x00WAVE"), "cannot be read"),
        (lambda p: p, "cannot be read: No such file or directory"),
    ],
    ids=["mono", "24-bit", "8-bit", "empty", "rate", "broken", "missing"],
)
def test_cli_refuses_bad_track(tmp_path, capsys, make, message):
    good = write_wav(tmp_path / "good.wav", stereo(300), RATE)
    bad = tmp_path / "bad.wav"
    make(bad)
    assert main([str(good), str(bad)]) == 1
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith(f"orvane-isotrak: error: {bad}: ") and message in err


def test_float_wav_is_refused_by_its_format(tmp_path, capsys):
    path = write_wav(tmp_path / "float.wav", stereo(10), RATE)
    header = bytearray(path.read_bytes())
    header[20:22] = (3).to_bytes(2, "little")  # format tag: IEEE float
    path.write_bytes(bytes(header))
    assert main([str(path)]) == 1
    assert "WAV file of floating-point samples" in capsys.readouterr().err


def test_truncated_wav_is_refused_after_reading(tmp_path, capsys):
    path = write_wav(tmp_path / "cut.wav", stereo(400), RATE)
    path.write_bytes(path.read_bytes()[:-400])
    assert main([str(path)]) == 1
    out, err = capsys.readouterr()
    assert out == "" and f"{path}: ends after 300 of its 400 frames" in err


@pytest.mark.parametrize(
    ("blocks", "message"),
    [
        ([bytes(400)], "ends after 100 of its 120 frames"),
        ([bytes(480), bytes(4)], "holds more than the 120 frames it announced"),
        ([bytes(6)], "yields a block of 6 bytes, not a whole number of 4-byte frames"),
        ([FrameList(bytes(480), 1, 16, 0, 1)], "yields a block of 1 channel of 16-bit samples"),
    ],
)
def test_source_that_breaks_its_word_is_refused(blocks, message):
    with pytest.raises(TrackError, match=f"^src: {message}"):
        disc_checksums([PCMTrack("src", 120, RATE, blocks)])


def test_api_refuses_bad_arguments():
    with pytest.raises(ValueError, match="at least one track"):
        disc_checksums([])
    with pytest.raises(ValueError, match="search must be >= 0"):
        disc_checksums([PCMTrack("a", 100, RATE, [bytes(400)])], search=-1)
    with pytest.raises(TrackError, match="a: sample rate 750 Hz, expected 44100 Hz"):
        disc_checksums([PCMTrack("a", 100, RATE, [bytes(400)])], sample_rate=44100)


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        ([], "give the tracks"),
        (["--search", "-1", "a.wav"], "--search must be"),
        (["--search", "2", "--show-shift", "3", "a.wav"], "-2..+2; add --search 3"),
        (["--bogus", "a.wav"], "--bogus"),
        (["--demo", "a.wav"], "--demo"),
        (["--v2-offset", "x", "a.wav"], "--v2-offset"),
        (["--jobs", "0", "a.wav"], "--jobs needs --library"),
    ],
)
def test_cli_bad_usage_exits_2(capsys, argv, message):
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    assert exit_info.value.code == 2
    err = capsys.readouterr().err
    assert "usage: orvane-isotrak" in err and message in err


# -- output ----------------------------------------------------------------------


def test_cli_table(tmp_path, capsys):
    tracks = noise_disc(21, [300, 200, 320])
    paths = write_disc(tmp_path, tracks)
    assert main(["--search", "3", "--show-shift", "-3", "--show-shift", "2", *map(str, paths)]) == 0
    out, err = capsys.readouterr()
    # No progress bar when stderr is not a terminal; 750 Hz is not CD audio.
    assert err.startswith("orvane-isotrak: warning: ") and len(err.splitlines()) == 1
    lines = out.splitlines()
    assert lines[0].split() == ["track", "file", "frames", "v1", "v1", "-3", "v1", "+2", "v2"]
    for row, path, (v1, v2) in zip(lines[1:], paths, disc_sums(tracks, RATE, 3, 0), strict=True):
        cells = row.split()
        assert cells[:3] == [
            str(paths.index(path) + 1),
            str(path),
            str(len(tracks[paths.index(path)])),
        ]
        assert cells[3:] == [f"{v1[0]:08X}", f"{v1[-3]:08X}", f"{v1[2]:08X}", f"{v2:08X}"]


def test_cli_json(tmp_path, capsys):
    tracks = noise_disc(22, [300, 310])
    paths = write_disc(tmp_path, tracks)
    assert main(["--json", "--search", "2", "--v2-offset", "-1", *map(str, paths)]) == 0
    document = json.loads(capsys.readouterr().out)
    assert {k: document[k] for k in ("sample_rate", "search", "v2_offset")} == {
        "sample_rate": RATE,
        "search": 2,
        "v2_offset": -1,
    }
    for entry, path, (v1, v2) in zip(
        document["tracks"], paths, disc_sums(tracks, RATE, 2, -1), strict=True
    ):
        assert entry["file"] == str(path) and entry["v1"] == v1[0] and entry["v2"] == v2
        assert entry["v1_by_shift"] == {str(s): v for s, v in v1.items()}


# The demo disc's samples: the README's example output depends on them.
DEMO_DIGEST = "853cae2c1a6af65058ac755eadba92fc7336e7f34c9fb96072e687d5f6153843"


def test_demo_disc_is_deterministic_and_checked(capsys):
    digest = hashlib.sha256(b"".join(demo_track_samples(t).tobytes() for t in range(3))).hexdigest()
    samples = [demo_track_samples(t) for t in range(3)]
    assert [len(s) // 2 for s in samples] == list(DEMO_TRACK_FRAMES)
    assert digest == DEMO_DIGEST
    assert main(["--demo"]) == 0
    tracks = [list(zip(s[0::2], s[1::2])) for s in samples]
    rows = capsys.readouterr().out.splitlines()[1:]
    expected = disc_sums(tracks, 44100, 0, 0)
    assert [row.split()[3:] for row in rows] == [
        [f"{v1[0]:08X}", f"{v2:08X}"] for v1, v2 in expected
    ]


def test_console_script_and_module_run(tmp_path):
    path = write_wav(tmp_path / "one.wav", stereo(300), RATE)
    script = Path(sysconfig.get_path("scripts")) / "orvane-isotrak"
    for command in ([str(script)], [sys.executable, "-m", "orvane.isotrak"]):
        done = subprocess.run([*command, str(path)], capture_output=True, text=True, check=False)
        assert done.returncode == 0 and "one.wav" in done.stdout
        done = subprocess.run(
            [*command, str(tmp_path / "none.wav")], capture_output=True, text=True
        )
        assert done.returncode == 1 and "none.wav: cannot be read" in done.stderr


# -- other formats through soundfile -------------------------------------------------


def test_soundfile_formats(tmp_path, capsys):
    soundfile = pytest.importorskip("soundfile")
    numpy = pytest.importorskip("numpy")
    tracks = noise_disc(31, [300, 280])
    paths = []
    for n, track in enumerate(tracks):
        path = tmp_path / f"t{n}.flac"
        soundfile.write(str(path), numpy.array(track, dtype=numpy.int16), RATE, subtype="PCM_16")
        paths.append(path)
    results = disc_checksums(paths, search=2)
    assert as_model(results) == disc_sums(tracks, RATE, 2, 0)

    wide = tmp_path / "wide.flac"
    soundfile.write(str(wide), numpy.zeros((100, 2), dtype=numpy.int32), RATE, subtype="PCM_24")
    assert main([str(wide)]) == 1
    assert f"{wide}: FLAC file of 2 channels of 24-bit PCM" in capsys.readouterr().err


def test_other_format_without_soundfile_is_refused(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "soundfile", None)  # import now fails
    path = tmp_path / "t.flac"
    path.write_bytes(b"fLaC" + bytes(100))
    assert main([str(path)]) == 1
    assert "needs the soundfile package" in capsys.readouterr().err
