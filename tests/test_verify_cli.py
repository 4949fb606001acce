"""Verifying a rip from the command line: references, verdicts, exit statuses,
and the tool's manners with signals and pipes.

The reference checksums come from the plain model of the reference rip's
audio; the rip under test is that audio read some frames earlier or later.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from isotrak_model import Frame, disc_sums, write_wav
from conftest import noise_disc, shifted

from orvane.isotrak import main

RATE = 750
LENGTHS = [300, 260, 310]


def reference_audio(seed: int = 5) -> list[list[Frame]]:
    return noise_disc(seed, LENGTHS)


def write_rip(folder: Path, tracks: list[list[Frame]]) -> list[str]:
    folder.mkdir(exist_ok=True)
    return [str(write_wav(folder / f"{n + 1:02d}.wav", t, RATE)) for n, t in enumerate(tracks)]


def write_reference_set(path: Path, tracks: list[list[Frame]], count: int = 1) -> Path:
    sums = disc_sums(tracks, RATE, 0, 0)
    path.write_text(
        json.dumps(
            {
                "tracks": [
                    {"track": n + 1, "checksums": [{"v1": v1[0], "v2": v2, "count": count}]}
                    for n, (v1, v2) in enumerate(sums)
                ]
            }
        )
    )
    return path


def run_json(capsys: pytest.CaptureFixture[str], argv: list[str]) -> tuple[int, dict]:
    status = main(["--json", *argv])
    out = capsys.readouterr().out
    return status, json.loads(out)


@pytest.mark.parametrize("delay", [-9, -1, 0, 4, 12, 13])
def test_a_shifted_rip_matches_at_exactly_its_shift(tmp_path, capsys, delay):
    reference = reference_audio()
    ref = write_reference_set(tmp_path / "ref.json", reference)
    rip = write_rip(tmp_path / "rip", shifted(reference, -delay))
    status, document = run_json(capsys, ["--search", "12", "--expect", str(ref), *rip])
    verdict = document["verification"]
    if abs(delay) > 12:
        assert status == 3 and verdict["matched_tracks"] == 0 and verdict["offset"] is None
        return
    assert status == 0 and verdict == verdict | {"tracks": 3, "matched_tracks": 3, "offset": delay}
    for track in document["tracks"]:
        check = track["verification"]
        assert check["matched"] and check["v1"]["shifts"] == [delay]
        # Version 2 is confirmed at the shift version 1 found, in a second pass.
        assert check["v2"] == check["v2"] | {"matched": True, "shift": delay, "confidence": 1}


def test_table_verdict_and_summed_confidence(tmp_path, capsys):
    reference = reference_audio()
    refs = [write_reference_set(tmp_path / f"r{c}.json", reference, c) for c in (12, 3)]
    rip = write_rip(tmp_path / "rip", shifted(reference, -6))
    # The same file twice is one reference: its rips count once.
    expects = [arg for ref in [*refs, refs[0]] for arg in ("--expect", str(ref))]
    assert main(["--search", "8", *expects, *rip]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split()[-1] == "outcome"
    assert all(line.endswith("ok v1 +6 (15) v2 +6 (15)") for line in lines[1:4])
    assert lines[-1] == (
        "all 3 tracks matched; read offset differs from the references by +6 frames "
        "(the references read 6 frames later than this rip)"
    )


def test_expect_alone_finds_a_drive_offset(tmp_path, capsys):
    """With --expect and no --search, shifts of up to 5 CD sectors are searched."""
    reference = noise_disc(6, [2000, 1500, 2000])
    # Silent disc edges, as on most CDs, so that no frame leaves the disc.
    reference[0][:700] = [(0, 0)] * 700
    reference[-1][-700:] = [(0, 0)] * 700
    ref = write_reference_set(tmp_path / "ref.json", reference)
    rip = write_rip(tmp_path / "rip", shifted(reference, 667))
    status, document = run_json(capsys, ["--expect", str(ref), *rip])
    assert document["search"] == 2940
    assert status == 0 and document["verification"]["offset"] == -667
    assert all(t["verification"]["v2"]["shift"] == -667 for t in document["tracks"])


def test_one_damaged_sample_fails_only_its_track(tmp_path, capsys):
    reference = reference_audio()
    ref = write_reference_set(tmp_path / "ref.json", reference)
    damaged = [list(track) for track in reference]
    left, right = damaged[1][100]
    damaged[1][100] = (left ^ 1, right)
    status, document = run_json(capsys, ["--search", "3", "--expect", str(ref), *write_rip(tmp_path / "rip", damaged)])
    assert status == 3
    assert [t["verification"]["matched"] for t in document["tracks"]] == [True, False, True]
    assert document["verification"] | {"unmatched": [2], "offset": 0} == document["verification"]


def test_a_file_failing_part_way_fails_its_track_alone(tmp_path, capsys):
    soundfile = pytest.importorskip("soundfile")
    reference = noise_disc(7, [300, 30000, 310])
    ref = write_reference_set(tmp_path / "ref.json", reference)
    rip = write_rip(tmp_path / "rip", reference)
    flac = str(tmp_path / "rip" / "02.flac")
    soundfile.write(flac, soundfile.read(rip[1], dtype="int16")[0], RATE, subtype="PCM_16")
    data = Path(flac).read_bytes()
    Path(flac).write_bytes(data[: len(data) * 2 // 3])  # its header still says 30000 frames
    rip[1] = flac
    for output in ([], ["--json"]):
        status = main(["--expect", str(ref), *rip, *output])
        out, err = capsys.readouterr()
        failure = err.splitlines()[-1].removeprefix("orvane-isotrak: error: ")
        assert status == 1 and failure.startswith(f"{flac}: damaged or cut short: cannot be decoded past frame ")
        if output:
            tracks = json.loads(out)["tracks"]
            assert [t["verification"]["matched"] for t in tracks] == [True, False, True]
            assert tracks[1]["error"] == failure and tracks[1]["v1"] is None
        else:
            rows = out.splitlines()[1:4]
            assert rows[0].endswith("ok v1 0 (1) v2 0 (1)") and rows[2].endswith("ok v1 0 (1) v2 0 (1)")
            assert rows[1].split(None, 3)[3] == f"FAILED: {failure}"
            assert out.splitlines()[-1].startswith("1 of 3 tracks did not match")


@pytest.mark.parametrize(
    ("reference", "status", "message"),
    [
        ("1 0000000A\n2 0000000B\nthree\n", 2, "ref.txt:3: not a line of TRACK V1 [V2]"),
        ('{"tracks": [{"track": 1, "checksums": [{"v1": -1}]}]}', 2, "tracks[0].checksums[0].v1"),
        ("1 0000000A\n2 0000000B\n", 1, "ref.txt: has 2 tracks, the disc 3"),
        (None, 1, "ref.txt: cannot be read: No such file or directory"),
    ],
)
def test_refused_references(tmp_path, capsys, reference, status, message):
    path = tmp_path / "ref.txt"
    if reference is not None:
        path.write_text(reference)
    rip = write_rip(tmp_path / "rip", reference_audio())
    assert main(["--expect", str(path), *rip]) == status
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("orvane-isotrak: error: ") and message in err


def test_help_and_version(capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(["--help"])
    out = capsys.readouterr().out
    assert exit_info.value.code == 0
    assert "exit status" in out and "--expect" in out and "frames later" in out
    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out.startswith("orvane-isotrak ")


def tool(*args: str, **kwargs: object) -> subprocess.Popen[bytes]:
    return subprocess.Popen(
        [sys.executable, "-m", "orvane.isotrak", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        **kwargs,  # type: ignore[call-overload]
    )


def test_ctrl_c_exits_130_quietly(tmp_path):
    """Interrupted while it waits for audio that is slow to come."""
    fifo = tmp_path / "slow.wav"
    os.mkfifo(fifo)
    header = write_wav(tmp_path / "t.wav", reference_audio()[0], RATE).read_bytes()[:100]
    process = tool(str(fifo))
    with open(fifo, "wb") as writer:
        writer.write(header)
        writer.flush()
        time.sleep(0.5)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=20)
    assert process.returncode == 130
    assert out == b"" and err.endswith(b"\norvane-isotrak: interrupted\n")
    assert b"Traceback" not in err


def test_closed_output_pipe_is_no_traceback(tmp_path):
    rip = write_rip(tmp_path / "rip", reference_audio())
    process = tool("--json", "--search", "30000", *rip)
    assert process.stdout is not None and process.stderr is not None
    process.stdout.read(100)
    process.stdout.close()
    err = process.stderr.read()
    process.wait(timeout=60)
    assert b"Traceback" not in err and all(b"warning" in line for line in err.splitlines())
    assert process.returncode == 1
