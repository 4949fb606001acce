"""The formats read through PyAV: each the same checksums as the same audio
as WAV, from any frame on; lossy codecs and other shapes refused; a damaged
file failing part-way; and without the extra, one line saying what to install.

The files are encoded here with PyAV's own encoders.  FFmpeg decodes
Monkey's Audio, TAK, Shorten and WMA Lossless but cannot encode them, so
those are only told by their first bytes here."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from array import array
from pathlib import Path

import pytest
from isotrak_model import Frame, sl16_bytes, write_wav
from conftest import noise_disc

from orvane.isotrak import TrackError, check_disc
from orvane.isotrak.audio import open_audio
from orvane.isotrak.audio.ffmpeg import ffmpeg_format

av = pytest.importorskip("av", reason="PyAV (the ffmpeg extra) is not installed")

RATE = 750  # a lead-in skip of 50 frames
LENGTHS = [700, 333, 911]


def encode(
    path: Path, container: str, codec: str, frames: list[Frame] | bytes, layout: str = "stereo",
    sample_format: str = "s16p", rate: int = RATE,
) -> Path:
    """Write ``frames`` (16-bit stereo, or bytes of ``sample_format``) with PyAV."""
    data = frames if isinstance(frames, bytes) else sl16_bytes(frames)
    source_format = "s16" if isinstance(frames, list) else sample_format.removesuffix("p")
    channels = len(av.AudioLayout(layout).channels)
    width = av.AudioFormat(source_format).bytes * channels
    with av.open(str(path), "w", format=container) as output:
        stream = output.add_stream(codec, rate=rate, layout=layout)
        stream.format = sample_format
        resampler = av.AudioResampler(format=sample_format, layout=layout, rate=rate)
        frame = av.AudioFrame(format=source_format, layout=layout, samples=len(data) // width)
        frame.planes[0].update(data)
        frame.rate, frame.pts = rate, 0
        for converted in resampler.resample(frame):
            output.mux(stream.encode(converted))
        output.mux(stream.encode(None))
    return path


FORMATS = [  # suffix, container, codec and its sample format, what the file is called
    ("wv", "wv", "wavpack", "s16p", "WavPack"),
    ("m4a", "ipod", "alac", "s16p", "ALAC"),
    ("tta", "tta", "tta", "s16", "TTA"),
]


@pytest.mark.parametrize(("suffix", "container", "codec", "sample_format", "kind"), FORMATS)
def test_a_format_reads_as_its_audio_as_wav(tmp_path: Path, suffix: str, container: str,
                                            codec: str, sample_format: str, kind: str) -> None:
    tracks = noise_disc(26, LENGTHS)
    wavs = [write_wav(tmp_path / f"t{n}.wav", track, RATE) for n, track in enumerate(tracks)]
    files = [encode(tmp_path / f"t{n}.{suffix}", container, codec, track, sample_format=sample_format)
             for n, track in enumerate(tracks)]
    with open_audio(files[2]) as audio:
        assert (audio.format, audio.frames, audio.sample_rate) == (kind, LENGTHS[2], RATE)
        # A reader from any frame on starts at that frame exactly.
        whole = sl16_bytes(tracks[2])
        for offset in (0, 1, 399, 910):
            reader = audio.reader(offset)
            buffer = memoryview(bytearray(len(whole)))
            got = reader.read_into(buffer)
            reader.close()
            assert bytes(buffer[: got * 4]) == whole[offset * 4 :]
    as_wav = check_disc(wavs, search=20, threads=1)
    for threads in (1, 2):
        checked = check_disc(files, search=20, threads=threads)
        assert [(dict(t.checksums_v1), t.checksum_v2) for t in checked.tracks] == [
            (dict(t.checksums_v1), t.checksum_v2) for t in as_wav.tracks
        ]
    # A folder of them is a disc.
    folder = tmp_path / "disc"
    folder.mkdir()
    for path in files:
        path.rename(folder / path.name)
    assert check_disc(folder).tracks[0].checksum_v2 == as_wav.tracks[0].checksum_v2


@pytest.mark.skip(reason="FFmpeg has no Monkey's Audio or TAK encoder, and no Debian "
                  "package that the tests set up encodes them")
def test_monkeys_audio_and_tak() -> None:
    """Would encode Monkey's Audio and TAK files and check them as WAV."""


def test_the_first_bytes_name_the_format() -> None:
    assert ffmpeg_format(b"MAC \x96\x0f") == "Monkey's Audio"
    assert ffmpeg_format(b"tBaK\x00") == "TAK"
    assert ffmpeg_format(b"ajkg\x02") == "Shorten"
    assert ffmpeg_format(b"\x00\x00\x00\x1cftypM4A ") == "MP4"
    assert ffmpeg_format(bytes.fromhex("3026b2758e66cf11a6d900aa0062ce6c")) == "WMA"
    assert ffmpeg_format(b"RIFF\x00\x00\x00\x00WAVE") is None


def test_lossy_codecs_and_other_shapes_are_refused(tmp_path: Path) -> None:
    frames = noise_disc(3, [2000])[0]
    aac = encode(tmp_path / "a.m4a", "ipod", "aac", frames, sample_format="fltp", rate=44100)
    with pytest.raises(TrackError, match=r"a\.m4a: MP4 file of AAC.*; lossy audio cannot be verified$"):
        open_audio(aac)
    wide = array("i", [sample << 8 for frame in frames for sample in frame]).tobytes()
    wavpack = encode(tmp_path / "w.wv", "wv", "wavpack", wide, sample_format="s32p")
    with pytest.raises(TrackError, match=r"w\.wv: WavPack file of 2 channels of \d+-bit PCM; "
                       r"only 2-channel 16-bit PCM can be checked$"):
        open_audio(wavpack)
    mono = sl16_bytes(frames)[: 2 * len(frames)]
    single = encode(tmp_path / "m.tta", "tta", "tta", mono, layout="mono", sample_format="s16")
    with pytest.raises(TrackError, match=r"m\.tta: TTA file of 1 channel of 16-bit PCM; only"):
        open_audio(single)


def test_a_damaged_file_fails_part_way(tmp_path: Path) -> None:
    tracks = noise_disc(5, [44100, 44100 * 3])
    first = encode(tmp_path / "1.wv", "wv", "wavpack", tracks[0], rate=44100)
    second = encode(tmp_path / "2.wv", "wv", "wavpack", tracks[1], rate=44100)
    data = bytearray(second.read_bytes())
    data[len(data) // 2 : len(data) // 2 + 64] = bytes(64)
    second.write_bytes(data)
    first_track, second_track = check_disc([first, second], threads=1).tracks
    assert first_track.error is None
    assert second_track.error is not None
    assert re.fullmatch(rf"{re.escape(str(second))}: cannot be read: its WavPack data is damaged after frame \d+",
                        second_track.error)


def run_without_av(tmp_path: Path, *argv: str) -> subprocess.CompletedProcess[str]:
    """The tool in a process where ``import av`` fails, as without the extra."""
    shadow = tmp_path / "shadow" / "av"
    shadow.mkdir(parents=True, exist_ok=True)
    (shadow / "__init__.py").write_text("raise ImportError('the ffmpeg extra is not installed')\n")
    path = os.pathsep.join([str(shadow.parent), os.environ.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", "orvane.isotrak", *argv], capture_output=True,
                          text=True, check=False, env={**os.environ, "PYTHONPATH": path})


def test_without_the_extra_a_file_says_what_to_install(tmp_path: Path) -> None:
    disc = tmp_path / "disc"
    disc.mkdir()
    for number, track in enumerate(noise_disc(7, [700, 300]), 1):
        encode(disc / f"{number}.wv", "wv", "wavpack", track)
    line = "WavPack audio needs the ffmpeg extra: pip install 'orvane[ffmpeg]'\n"
    for given in (disc / "1.wv", disc):
        done = run_without_av(tmp_path, str(given))
        assert (done.returncode, done.stdout) == (1, "")
        assert done.stderr == f"orvane-isotrak: error: {disc / '1.wv'}: {line}"
    done = run_without_av(tmp_path, "--library", str(tmp_path / "disc"), "--db",
                          str(tmp_path / "l.db"))
    assert done.returncode == 1
    assert f"failed   .: {disc / '1.wv'}: {line}" in done.stdout + done.stderr
