"""One rip, one verdict: named by its folder, by its sheet or by its track
files, a rip is verified the same way, the second version 2 pass included."""

from __future__ import annotations

import json

from isotrak_model import write_wav
from conftest import shifted
from test_verify_cli import LENGTHS, RATE, reference_audio, write_reference_set

from orvane.isotrak import main


def test_folder_sheet_and_files_give_one_verdict(tmp_path, capsys):
    reference = reference_audio()
    ref = write_reference_set(tmp_path / "ref.json", reference)
    rip = shifted(reference, -7)
    folder = tmp_path / "rip"
    folder.mkdir()
    write_wav(folder / "disc.wav", [frame for track in rip for frame in track], RATE)
    starts = [sum(LENGTHS[:n]) // (RATE // 75) for n in range(len(LENGTHS))]
    lines = ['FILE "disc.wav" WAVE']
    for number, start in enumerate(starts, 1):
        lines += [f"TRACK {number:02d} AUDIO", f"INDEX 01 00:00:{start:02d}"]
    (folder / "disc.cue").write_text("\n".join(lines) + "\n")
    tracks = tmp_path / "tracks"
    tracks.mkdir()
    files = [str(write_wav(tracks / f"{n:02d}.wav", t, RATE)) for n, t in enumerate(rip, 1)]

    verdicts = []
    for named in ([str(folder)], [str(folder / "disc.cue")], files):
        status = main(["--json", "--search", "12", "--expect", str(ref), *named])
        document = json.loads(capsys.readouterr().out)
        verdicts.append((status, document["verification"], [t["verification"] for t in document["tracks"]]))
    assert verdicts[0] == verdicts[1] == verdicts[2]
    status, verdict, checks = verdicts[0]
    assert status == 0 and verdict["offset"] == 7
    assert all(check["v2"] | {"matched": True, "shift": 7} == check["v2"] for check in checks)
