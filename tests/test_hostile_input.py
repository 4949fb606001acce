"""Hostile input to the checking tool: damaged WAV files, pipes, raw images,
lossy audio, bad paths and sources whose blocks lie.

Every refusal must be one line on stderr naming the file, exit status 1 and
nothing on stdout; whatever is accepted must give the checksums of the plain
model in isotrak_model.py.
"""

from __future__ import annotations

import json
import os
import random
import struct
import subprocess
import sys
import threading
from array import array
from pathlib import Path

import pytest
from isotrak_model import Frame, disc_sums, sl16_bytes, write_wav
from conftest import noise

from orvane.isotrak import PCMTrack, TrackError, disc_checksums, open_track
from orvane.isotrak.audio import open_audio, open_reader
from orvane.pcm import FrameList

RATE = 750
AUDIO: list[Frame] = noise(15, 300)
EXPECTED = disc_sums([AUDIO], RATE, 0, 0)

# The GUID of WAVE_FORMAT_EXTENSIBLE's sub-format, but for its first two bytes.
GUID_TAIL = "000000001000800000aa00389b71"


def chunk(chunk_id: bytes, body: bytes, size: int | None = None, pad: bool = True) -> bytes:
    size = len(body) if size is None else size
    padding = b"\0" if pad and len(body) % 2 else b""
    return chunk_id + size.to_bytes(4, "little") + body + padding


def fmt(tag: int = 1, rate: int = RATE, bits: int = 16, align: int = 4, cut: int = 16) -> bytes:
    body = struct.pack("<HHIIHH", tag, 2, rate, rate * align % 2**32, align, bits)
    return chunk(b"fmt ", body[:cut])


def extensible(sub_tag: int, bits: int = 16, align: int = 4, tail: str = GUID_TAIL) -> bytes:
    body = struct.pack("<HHIIHHHHI", 0xFFFE, 2, RATE, RATE * align, align, bits, 22, bits, 3)
    return chunk(b"fmt ", body + sub_tag.to_bytes(2, "little") + bytes.fromhex(tail))


def riff(*chunks: bytes) -> bytes:
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + len(body).to_bytes(4, "little") + body


FMT = fmt()
DATA = chunk(b"data", sl16_bytes(AUDIO))
GOOD = riff(FMT, DATA)
HUGE = 0x7FFFFFF0

# Damaged files and the words of their refusal.
DAMAGED = {
    "junk past the end": (
        riff(chunk(b"JUNK", b"", HUGE), FMT, DATA),
        "cannot be read as a WAV file: "
        "its 'JUNK' chunk of 2147483632 bytes runs past the end of the file",
    ),
    "list past the end": (
        riff(FMT, chunk(b"LIST", b"INFO", HUGE)),
        "its 'LIST' chunk of 2147483632 bytes runs past the end",
    ),
    "cut fmt": (GOOD[:30], "its 'fmt ' chunk of 16 bytes runs past the end of the file"),
    "short fmt": (riff(fmt(cut=10), DATA), "its 'fmt ' chunk has 10 bytes, fewer than the 16"),
    "missing pad byte": (
        riff(FMT, chunk(b"LIST", b"odd", pad=False), DATA),
        "its 'LIST' chunk of odd size has no pad byte after it",
    ),
    "rate 2**31": (riff(fmt(rate=2**31), DATA), "sample rate 2147483648 Hz is out of range"),
    "rate 2**32-1": (riff(fmt(rate=2**32 - 1), DATA), "sample rate 4294967295 Hz is out of range"),
    "data past the end": (
        riff(FMT, chunk(b"data", sl16_bytes(AUDIO), HUGE)),
        "ends after 300 of its 536870908 frames",
    ),
    "no data": (riff(FMT, chunk(b"LIST", b"INFO")), "it has no 'data' chunk"),
    "data before fmt": (riff(DATA, FMT), "its 'data' chunk comes before its 'fmt ' chunk"),
    "garbage id": (riff(FMT, b"\x00\x01\x02\x03" + DATA[4:]), "damaged chunk header at byte 36"),
    "frame size": (riff(fmt(align=6), DATA), "gives frames of 6 bytes, not the 4"),
    "extensible float": (riff(extensible(3, 32, 8), DATA), "WAV file of floating-point samples"),
    "extensible cut": (
        riff(fmt(0xFFFE), DATA),
        "its extensible 'fmt ' chunk has 16 bytes, fewer than the 40",
    ),
    "extensible guid": (riff(extensible(1, tail="00" * 14), DATA), "unknown sample format"),
    "mp3 in wav": (riff(fmt(tag=0x55), DATA), "lossy audio cannot be verified"),
}

# Files that are read, and the warning they get.
ACCEPTED = {
    "extensible pcm": (riff(extensible(1), DATA), ""),
    "padded odd chunk": (riff(chunk(b"LIST", b"odd"), FMT, DATA), ""),
    "stray bytes after the data chunk": (GOOD + b"\x01\x02\x03", ""),
    "wrong riff size": (b"RIFF\x04\x00\x00\x00" + GOOD[8:], ""),
    "partial last frame": (
        riff(FMT, chunk(b"data", sl16_bytes(AUDIO) + b"\x07\x07")),
        "ignoring the last 2 bytes of its audio, which do not make a whole frame",
    ),
}


def run_cli(*args: str, command: list[str] | None = None) -> subprocess.CompletedProcess[str]:
    """Run the tool; its stderr without the warning that 750 Hz is not CD audio."""
    command = command or [sys.executable, "-m", "orvane.isotrak", *args]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120, check=False)
    lines = done.stderr.splitlines(keepends=True)
    done.stderr = "".join(line for line in lines if "is not CD audio" not in line)
    return done


def checksums(stdout: str) -> list[tuple[dict[int, int], int]]:
    tracks = json.loads(stdout)["tracks"]
    return [({int(s): v for s, v in t["v1_by_shift"].items()}, t["v2"]) for t in tracks]


def assert_refused(done: subprocess.CompletedProcess[str], name: str, message: str) -> None:
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.startswith(f"orvane-isotrak: error: {name}: ") and message in done.stderr
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr


@pytest.mark.parametrize("case", [*DAMAGED, *ACCEPTED])
def test_damaged_wav_through_the_cli(tmp_path, case):
    content, message = DAMAGED.get(case) or ACCEPTED[case]
    path = tmp_path / "t.wav"
    path.write_bytes(content)
    done = run_cli("--json", str(path))
    if case in DAMAGED:
        assert_refused(done, str(path), message)
    else:
        assert done.returncode == 0 and checksums(done.stdout) == EXPECTED
        warning = f"orvane-isotrak: warning: {path}: {message}\n" if message else ""
        assert done.stderr == warning


def feed_fifo(path: Path, content: bytes) -> threading.Thread:
    os.mkfifo(path)

    def write() -> None:
        try:
            with open(path, "wb") as fifo:
                fifo.write(content)
        except BrokenPipeError:
            pass  # the reader refused the file before its end

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    return writer


def flac_bytes(tmp_path: Path, frames: list[Frame]) -> bytes:
    soundfile = pytest.importorskip("soundfile")
    numpy = pytest.importorskip("numpy")
    path = tmp_path / "made.flac"
    soundfile.write(str(path), numpy.array(frames, dtype=numpy.int16), RATE, subtype="PCM_16")
    return path.read_bytes()


@pytest.mark.parametrize("kind", ["wav", "flac", "streamed", "damaged"])
def test_named_pipe_reads_like_the_file(tmp_path, kind):
    content = {
        "wav": lambda: GOOD,
        "flac": lambda: flac_bytes(tmp_path, AUDIO),
        # A writer to a pipe leaves the data size unknown.
        "streamed": lambda: riff(FMT, chunk(b"data", sl16_bytes(AUDIO), 0xFFFFFFFF)),
        "damaged": lambda: DAMAGED["junk past the end"][0],
    }[kind]()
    fifo = tmp_path / "t.fifo"
    writer = feed_fifo(fifo, content)
    done = run_cli("--json", str(fifo))
    writer.join(10)
    if kind == "damaged":
        assert_refused(done, str(fifo), "runs past the end of the file")
    else:
        assert done.returncode == 0 and checksums(done.stdout) == EXPECTED and done.stderr == ""


def test_a_pipe_is_read_once(tmp_path):
    fifo = tmp_path / "t.fifo"
    writer = feed_fifo(fifo, GOOD)
    with open_track(fifo, "pipe") as track:
        assert b"".join(track) == sl16_bytes(AUDIO)
        with pytest.raises(TrackError, match="^pipe: cannot be read twice: it is not a regular"):
            iter(track)
    writer.join(10)


def test_process_substitution_reads_like_the_files(tmp_path):
    second = [(n, -n) for n in range(400)]
    (tmp_path / "a.wav").write_bytes(GOOD)
    (tmp_path / "b.flac").write_bytes(flac_bytes(tmp_path, second))
    script = 'exec "$0" -m orvane.isotrak --json <(cat "$1") <(cat "$2")'
    files = [str(tmp_path / "a.wav"), str(tmp_path / "b.flac")]
    done = run_cli(command=["bash", "-c", script, sys.executable, *files])
    assert done.returncode == 0 and done.stderr == ""
    assert checksums(done.stdout) == disc_sums([AUDIO, second], RATE, 0, 0)


# -- raw images ------------------------------------------------------------------


def test_raw_images_give_the_blocks_of_the_wav(tmp_path):
    frames = 300_000  # more than one read
    little = random.Random(13).randbytes(frames * 4)
    big = bytearray(len(little))
    big[0::2], big[1::2] = little[1::2], little[0::2]
    wav = write_wav(tmp_path / "t.wav", little, 44100)
    (tmp_path / "le.bin").write_bytes(little)
    (tmp_path / "be.bin").write_bytes(big)
    with open_audio(wav, file_type="WAVE") as track:
        expected = b"".join(track)
    assert expected == little
    for file, file_type in (("le.bin", "BINARY"), ("be.bin", "MOTOROLA")):
        with open_audio(tmp_path / file, file_type=file_type) as track:
            assert (track.frames, track.sample_rate) == (frames, 44100)
            assert b"".join(track) == expected and b"".join(track) == expected  # read again

    warnings: list[str] = []
    (tmp_path / "odd.bin").write_bytes(little + b"\x01\x02")
    fifo = tmp_path / "be.fifo"
    writer = feed_fifo(fifo, big + b"\x03")
    with open_audio(fifo, "pipe", file_type="MOTOROLA", warn=warnings.append) as track:
        assert track.frames == frames and b"".join(track) == expected
    writer.join(10)
    with open_audio(tmp_path / "odd.bin", "odd", file_type="BINARY", warn=warnings.append) as track:
        assert b"".join(track) == expected
    # A WAV file called BINARY is read as the WAV it is, not with its header as audio.
    with open_audio(wav, "wav", file_type="BINARY", warn=warnings.append) as track:
        assert b"".join(track) == expected
    assert warnings == [
        "pipe: ignoring the last 1 byte of its audio, which do not make a whole frame",
        "odd: ignoring the last 2 bytes of its audio, which do not make a whole frame",
        "wav: FILE type BINARY, but it holds a WAV file; it is read as such",
    ]


# -- lossy audio -------------------------------------------------------------------


def soundfile_bytes(tmp_path: Path, rate: int, format: str, subtype: str) -> bytes:
    soundfile = pytest.importorskip("soundfile")
    numpy = pytest.importorskip("numpy")
    if subtype not in soundfile.available_subtypes(format):
        pytest.skip(f"libsndfile here cannot write {format} {subtype}")
    path = tmp_path / "made"
    silence = numpy.zeros((4800, 2), numpy.int16)
    soundfile.write(str(path), silence, rate, format=format, subtype=subtype)
    return path.read_bytes()


@pytest.mark.parametrize(
    ("make", "file_type"),
    [
        (lambda tmp: GOOD, "MP3"),  # the FILE type alone refuses it
        (lambda tmp: b"ID3\x04\0\0\0\0\0\x04" + bytes(4) + b"\xff\xfb\x90\0" + bytes(400), None),
        (lambda tmp: b"\xff\xfb\x90\x00" + bytes(400), "WAVE"),
        (lambda tmp: soundfile_bytes(tmp, 44100, "MP3", "MPEG_LAYER_III"), None),
        (lambda tmp: soundfile_bytes(tmp, 44100, "OGG", "VORBIS"), None),
        (lambda tmp: soundfile_bytes(tmp, 48000, "OGG", "OPUS"), None),
        # Known by soundfile's subtype, and by the WAV format tag:
        (lambda tmp: soundfile_bytes(tmp, 44100, "AIFF", "IMA_ADPCM"), "AIFF"),
        (lambda tmp: soundfile_bytes(tmp, 44100, "WAV", "IMA_ADPCM"), None),
    ],
    ids=["type", "id3", "sync", "mp3", "vorbis", "opus", "aiff-adpcm", "wav-adpcm"],
)
def test_lossy_audio_is_refused(tmp_path, make, file_type):
    path = tmp_path / "t.wav"
    path.write_bytes(make(tmp_path))
    with pytest.raises(TrackError, match="^track: lossy audio cannot be verified$"):
        open_audio(path, "track", file_type=file_type)


def test_flac_behind_an_id3_tag_is_read(tmp_path):
    path = tmp_path / "t.flac"
    path.write_bytes(b"ID3\x03\x00\x00\x00\x00\x00\x06" + bytes(6) + flac_bytes(tmp_path, AUDIO))
    with open_track(path) as track:
        assert track.format == "FLAC" and b"".join(track) == sl16_bytes(AUDIO)


# -- bad paths and sources ---------------------------------------------------------


def test_bad_paths_are_refused_by_name(tmp_path):
    (tmp_path / "empty.wav").touch()
    for path, message in [
        (f"{tmp_path}/a\0b.wav", "cannot be read: its path holds a NUL character"),
        (f"{tmp_path}/none.wav", "cannot be read: No such file or directory"),
        (f"{tmp_path}/empty.wav", "the file is empty"),
        ("/dev/null", "cannot be read: it is a device, not a file or a pipe"),
        (f"{tmp_path}/{'a' * 300}.wav", "cannot be read: file name too long"),
        (f"{tmp_path}/{'a' * 300}.cue", "cannot be read: file name too long"),
    ]:
        with pytest.raises(TrackError) as refused:
            disc_checksums([path])
        assert str(refused.value) == f"{path}: {message}"
    # A folder is a disc of its own, never one track among others.
    with pytest.raises(TrackError, match="a CUE sheet or a folder must be the only thing given"):
        disc_checksums([str(tmp_path), f"{tmp_path}/empty.wav"])


class Honest(FrameList):
    pass


class ClaimsStereo(FrameList):
    channels = property(lambda self: 2)  # type: ignore[assignment]


class Claims16Bits(FrameList):
    bits_per_sample = property(lambda self: 16)  # type: ignore[assignment]


class ClaimsSilence(FrameList):
    def to_bytes(self, is_big_endian: int, is_signed: int, /) -> bytes:
        return bytes(len(self) * 2)


@pytest.mark.parametrize(
    ("block", "message"),
    [
        (8, "yields a block of type int, not a FrameList or bytes"),
        ("abcd", "yields a block of type str, not a FrameList or bytes"),
        (ClaimsStereo(bytes(1200), 1, 16, 0, 1), "yields a block of 1 channel of 16-bit samples"),
        (Claims16Bits(bytes(1800), 2, 24, 0, 1), "yields a block of 2 channels of 24-bit samples"),
    ],
)
def test_blocks_are_refused_by_what_they_are(block, message):
    with pytest.raises(TrackError, match=f"^src: {message}"):
        disc_checksums([PCMTrack("src", 300, RATE, [block])])


@pytest.mark.parametrize(
    "block",
    [
        bytearray(sl16_bytes(AUDIO)),
        memoryview(sl16_bytes(AUDIO)),
        array("h", sl16_bytes(AUDIO)) if sys.byteorder == "little" else sl16_bytes(AUDIO),
        Honest(sl16_bytes(AUDIO), 2, 16, 0, 1),
        ClaimsSilence(sl16_bytes(AUDIO), 2, 16, 0, 1),  # checked by what it holds
    ],
    ids=["bytearray", "memoryview", "array", "subclass", "lying-to_bytes"],
)
def test_blocks_are_read_by_what_they_hold(block):
    results = disc_checksums([PCMTrack("src", 300, RATE, [block])])
    assert [(dict(r.checksums_v1), r.checksum_v2) for r in results] == EXPECTED


@pytest.mark.parametrize(
    ("blocks", "message"),
    [
        ([sl16_bytes(AUDIO)[:100], FrameList(sl16_bytes(AUDIO)[100:480], 2, 16, 0, 1)], None),
        ([bytes(400)], "ends after 100 of its 120 frames"),
        ([bytes(480), bytes(4)], "holds more than the 120 frames it announced"),
    ],
)
def test_a_reader_of_blocks_checks_them_as_it_reads(blocks, message):
    reader = open_reader(PCMTrack("src", 120, RATE, blocks), 7)
    buffer, read = memoryview(bytearray(200)), bytearray()
    try:
        while frames := reader.read_into(buffer):
            read += buffer[: frames * 4]
    except TrackError as refused:
        assert str(refused) == f"src: {message}"
    else:
        assert message is None and read == sl16_bytes(AUDIO)[28:480]


@pytest.mark.parametrize("encoding", ["utf-8:strict", "ascii:strict"])
def test_names_that_do_not_decode_print_escaped(tmp_path, encoding):
    name = os.fsdecode(b"caf\xe9 \xff.wav")  # not UTF-8: the tool gets surrogates
    (tmp_path / name).write_bytes(GOOD)
    for args in ([], ["--json"]):
        done = subprocess.run(
            [sys.executable, "-m", "orvane.isotrak", *args, name],
            capture_output=True, text=True, cwd=tmp_path, timeout=60, check=False,
            env={**os.environ, "PYTHONIOENCODING": encoding},
        )
        assert done.returncode == 0 and "Traceback" not in done.stderr
        shown = json.loads(done.stdout)["tracks"][0]["file"] if args else done.stdout
        assert "caf\\xe9 \\xff.wav" in shown
