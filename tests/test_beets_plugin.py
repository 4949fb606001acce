"""The beets plugin, told as a story: a temporary beets library of generated
albums imported as they are, checked at import and by ``beet isotrak``
through beets' own entry point, a changed item reported and a missing one
refused."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import noise_disc

from orvane.isotrak import check_disc

pytest.importorskip("beets", reason="beets (the beets extra) is not installed")
soundfile = pytest.importorskip("soundfile")
numpy = pytest.importorskip("numpy")
mutagen_flac = pytest.importorskip("mutagen.flac")

RATE = 750  # a lead-in skip of 50 frames


def write_track(path: Path, frames: list[tuple[int, int]], album: str, disc: int, track: int) -> None:
    soundfile.write(path, numpy.array(frames, numpy.int16).reshape(-1, 2), RATE, subtype="PCM_16")
    tags = mutagen_flac.FLAC(path)
    tags.update(artist="Orvane", album=album, title=f"{album} {disc}.{track}",
                discnumber=str(disc), tracknumber=str(track))
    tags.save()


def beet(config: Path, *argv: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "beets", *argv], capture_output=True, text=True,
                          check=False, env={**os.environ, "BEETSDIR": str(config)})


def test_albums_checked_at_import_and_again_and_a_changed_item_reported(tmp_path: Path) -> None:
    config = tmp_path / "config"
    config.mkdir()
    (config / "config.yaml").write_text(
        f"directory: {tmp_path / 'library'}\nlibrary: {tmp_path / 'library.db'}\n"
        "plugins: isotrak\nisotrak: {auto: yes}\nimport: {copy: no, write: no}\nui: {color: no}\n"
    )
    # Two albums: a two-disc one, its files named against their order, and one of one disc.
    discs = {("Double", 1): [500, 300], ("Double", 2): [400], ("Single", 1): [350, 600, 333]}
    paths: dict[tuple[str, int], list[Path]] = {}
    for seed, ((album, disc), lengths) in enumerate(discs.items()):
        folder = tmp_path / "music" / album
        folder.mkdir(parents=True, exist_ok=True)
        paths[album, disc] = []
        for track, frames in enumerate(noise_disc(seed, lengths), 1):
            path = folder / f"{9 - track}-{disc}.flac"
            write_track(path, frames, album, disc, track)
            paths[album, disc].append(path)
    imported = beet(config, "import", "-A", "-q", str(tmp_path / "music" / "Double"),
                    str(tmp_path / "music" / "Single"))
    assert imported.returncode == 0, imported.stderr

    listed = beet(config, "ls", "-f", "$path $isotrak_v1 $isotrak_v2 $isotrak_checked")
    found = {Path(line.split()[0]): line.split()[1:] for line in listed.stdout.splitlines()}
    for disc in paths.values():
        for path, track in zip(disc, check_disc(disc).tracks):
            v1, v2, checked = found[path][0], found[path][1], found[path][2:]
            assert (v1, v2) == (f"{track.checksums_v1[0]:08x}", f"{track.checksum_v2:08x}")
            assert checked  # a date

    again = beet(config, "isotrak", "-j", "2")
    assert (again.returncode, again.stdout) == (0, "")

    changed = paths["Single", 1][1]
    write_track(changed, noise_disc(99, [600])[0], "Single", 1, 2)
    reported = beet(config, "isotrak", "album:Single")
    assert reported.returncode == 3
    assert reported.stdout.splitlines() == [
        f"Orvane - Single - Single 1.2: audio changed since {reported.stdout.split('since ')[1][:16]}"
    ]
    assert beet(config, "isotrak", "album:Double").returncode == 0
    # A disc that cannot be checked: one line that says why.
    gone = paths["Double", 2][0]
    gone.unlink()
    failed = beet(config, "isotrak", "album:Double")
    assert failed.returncode == 1
    assert failed.stdout == f"Orvane - Double (disc 2): {gone}: cannot be read: No such file or directory\n"

