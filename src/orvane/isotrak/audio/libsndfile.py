"""Files in the formats of libsndfile (FLAC, AIFF, ...), decoded through the
soundfile package into 16-bit stereo frames.

soundfile is an optional extra, imported only when such a file is opened.
It reads from the file descriptor that was opened for the path, so the
path is still opened once; a pipe is first copied to a temporary file,
since these formats are read with seeks.  Only files of exact 16-bit
integer samples are taken: a lossy file has no exact form to check, and a
file of wider samples is not CD audio.  Whatever soundfile reports is
turned into a TrackError in one place, ``_decoding``.
"""

from __future__ import annotations

import os
import re
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from orvane.isotrak.audio.base import (
    BYTES_PER_FRAME,
    AudioFile,
    Stream,
    describe_channels,
    refuse_lossy,
    refuse_rate,
    refuse_shape,
    swap_bytes,
)
from orvane.isotrak.audio.input import FileInput, PlacedFile, reason
from orvane.isotrak.errors import TrackError

__all__ = ["LOSSY_SUBTYPES", "SoundFileAudio", "flac_md5", "open_soundfile"]

# 262144 frames (1 MiB) a read, which libsndfile decodes into a buffer of
# its own and copies out: fewer calls through soundfile (each also asks
# libsndfile where it stands) than smaller reads, for a few % of the decoding.
_READ_FRAMES = 262144

# Subtypes whose samples are exactly 16-bit integers.
_EXACT_16_BIT = frozenset({"PCM_16", "ALAC_16"})

# Subtypes of lossy codecs: perceptual (Vorbis, Opus, MPEG), ADPCM, GSM, G.72x.
LOSSY_SUBTYPES = frozenset(
    {
        "VORBIS",
        "OPUS",
        "MPEG_LAYER_I",
        "MPEG_LAYER_II",
        "MPEG_LAYER_III",
        "GSM610",
        "IMA_ADPCM",
        "MS_ADPCM",
        "VOX_ADPCM",
        "G721_32",
        "G723_24",
        "G723_40",
        "NMS_ADPCM_16",
        "NMS_ADPCM_24",
        "NMS_ADPCM_32",
    }
)


def _md5() -> Any:
    """A new MD5 hash (hashlib, loaded by the first FLAC file checked)."""
    import hashlib

    return hashlib.md5()

def _load_soundfile() -> Any:
    """Return the soundfile module, or None when it is not installed."""
    try:
        import soundfile
    except (ImportError, OSError):
        # OSError: the package is there but its native library is not.
        return None
    return soundfile


def _decoding(
    name: str, placed: PlacedFile | None, call: Callable[[], Any], damaged: str | None = None
) -> Any:
    """call(), what soundfile reports refused with TrackError.

    soundfile's messages name the file by the object it was given (here a
    descriptor); libsndfile's own words are what says what is wrong, when
    the file is opened.  Once its header was read, a failure means the
    file is damaged or cut short, which ``damaged`` says in our words,
    with where.  Its error is let go before the refusal is raised: its
    frames hold a view of the caller's buffer, which must not outlive the
    call in a reference cycle.
    """
    problem = None
    try:
        result = call()
    except Exception as error:  # soundfile reports a bad file as RuntimeError or its own error
        text = getattr(error, "error_string", None)
        problem = str(text).rstrip(".") if text else reason(error)
    # A failed read of the file says more than what libsndfile made of it.
    if placed is not None and placed.error is not None:
        raise placed.error
    if problem is not None:
        if damaged is not None:
            raise TrackError(f"{name}: damaged or cut short: {damaged}")
        raise TrackError(f"{name}: cannot be read: {problem}")
    return result


def _sample_words(subtype: str, info: str) -> str:
    """What a subtype's samples are, in the words the WAV reader uses
    ("24-bit PCM"); libsndfile's own description for the rest."""
    pcm = re.fullmatch(r"(?:PCM|ALAC)_[SU]?(\d+)", subtype)
    if pcm is not None:
        return f"{pcm.group(1)}-bit PCM"
    floating = {"FLOAT": 32, "DOUBLE": 64}.get(subtype)
    if floating is not None:
        return f"{floating}-bit floating-point samples"
    return info


def _own_descriptor(input: FileInput) -> int | None:
    """A new descriptor of an open regular file, with a place of its own.

    Linux opens the file itself again through /proc (also a temporary file
    with no name left), not the path it was opened by; elsewhere, and
    should that fail, None.
    """
    if not sys.platform.startswith("linux"):
        return None
    try:
        return os.open(f"/proc/self/fd/{input.file.fileno()}", os.O_RDONLY | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None


class _Decoder:
    """Frames of a file decoded by a SoundFile of its own, as 16-bit stereo.

    It reads through a descriptor of its own where the system gives one:
    libsndfile then reads without the interpreter, so decoders in several
    threads run side by side.  Elsewhere it reads through a PlacedFile,
    whose reads call back into Python.
    """

    def __init__(
        self,
        name: str,
        input: FileInput,
        offset: int,
        frames: int,
        whole: Callable[[bytes], None] | None = None,
        sound: Any = None,
    ) -> None:
        self._name = name
        self._at = offset
        self._frames = frames
        # Read from its first frame, the audio is hashed as it is decoded:
        # ``whole`` is given the MD5 once the file has been read to its end.
        self._digest = _md5() if whole is not None and offset == 0 else None
        self._whole = whole
        self._placed: PlacedFile | None = None
        # ``sound``: a SoundFile already open at frame ``offset``, its own.
        self._sound: Any = sound
        # Its own descriptor, closed with it; libsndfile never closes a
        # descriptor it was given to keep.
        self._descriptor = None if sound is not None else _own_descriptor(input)
        try:
            if sound is None:
                soundfile = _load_soundfile()
                if self._descriptor is None:
                    self._placed = PlacedFile(input)
                opened = self._placed if self._descriptor is None else self._descriptor
                self._sound = self._call(lambda: soundfile.SoundFile(opened, closefd=False))
            if offset:
                self._call(lambda: self._sound.seek(offset), f"frame {offset} cannot be reached")
        except BaseException:
            self.close()
            raise

    def _call(self, call: Callable[[], Any], damaged: str | None = None) -> Any:
        return _decoding(self._name, self._placed, call, damaged)

    def read_into(self, buffer: memoryview) -> int:
        where = f"cannot be decoded past frame {self._at} of its {self._frames} frames"
        frames = int(self._call(lambda: self._sound.buffer_read_into(buffer, "int16"), where))
        self._at += frames
        if sys.byteorder == "big" and frames:
            size = frames * BYTES_PER_FRAME
            buffer[:size] = swap_bytes(bytes(buffer[:size]))
        if self._digest is not None and frames:
            self._digest.update(buffer[: frames * BYTES_PER_FRAME])
            if self._at >= self._frames:
                self._ended()
        return frames

    def _ended(self) -> None:
        """Give the MD5 of the frames read, if the file holds no more: one
        that decodes past the frames its header counts is left to be
        decoded again, as is one that fails there (``flac_md5`` says how)."""
        digest, self._digest = self._digest, None
        assert digest is not None and self._whole is not None
        probe = memoryview(bytearray(BYTES_PER_FRAME))
        try:
            more = int(self._sound.buffer_read_into(probe, "int16"))
        except Exception:  # soundfile reports a bad file as RuntimeError or its own error
            return
        if not more and (self._placed is None or self._placed.error is None):
            self._whole(digest.digest())

    def close(self) -> None:
        if self._sound is not None:
            self._sound.close()
            self._sound = None
        if self._descriptor is not None:
            os.close(self._descriptor)
            self._descriptor = None


class SoundFileAudio(AudioFile):
    """A file decoded through soundfile, as 16-bit stereo frames."""

    read_frames = _READ_FRAMES
    decodes = True

    # The MD5 of its audio as decoded, once a reader has read all of it in
    # order from its first frame: for a FLAC file, what its STREAMINFO's
    # MD5 is to be compared with, without decoding it again.
    decoded_md5: bytes | None = None

    # Whether mutagen takes it for FLAC (it starts as FLAC does, and is
    # named so), and its STREAMINFO as mutagen read it with its tags.
    mutagen_flac = False
    streaminfo: Any = None

    def __init__(
        self, input: FileInput, path: Path, frames: int, sample_rate: int, format: str
    ) -> None:
        super().__init__(input, path, frames, sample_rate, format)
        # The SoundFile that read the header, at the first frame, on the
        # descriptor of the file itself: the first reader from there takes
        # it, so that a file read once is opened by libsndfile once.
        self._spare: list[Any] = []

    def _open_stream(self, offset: int) -> Stream:
        # Each stream decodes with a decoder of its own, reading the file at
        # a place of its own: readers of one file in several threads never
        # move each other's place.
        whole = self._decoded if self.format == "FLAC" else None
        sound = self._spare.pop() if offset == 0 and self._spare else None
        return _Decoder(self.name, self._input, offset, self.frames, whole, sound)

    def close(self) -> None:
        while self._spare:
            self._spare.pop().close()
        super().close()

    def _decoded(self, digest: bytes) -> None:
        self.decoded_md5 = digest


def open_soundfile(input: FileInput, path: Path) -> SoundFileAudio:
    """Open ``input`` with soundfile and check that it holds 16-bit stereo PCM."""
    name = input.name
    soundfile = _load_soundfile()
    if soundfile is None:
        raise TrackError(
            f"{name}: not a WAV file; reading other formats needs the "
            "soundfile package (pip install 'orvane[soundfile]')"
        )
    input = input.spooled()
    try:
        # libsndfile reads the descriptor from where it stands, which a
        # buffered seek within its buffer would not move.
        descriptor = input.file.fileno()
        os.lseek(descriptor, 0, os.SEEK_SET)
        header = _decoding(name, None, lambda: soundfile.SoundFile(descriptor, closefd=False))
    except BaseException:
        input.close()
        raise
    try:
        channels, subtype = int(header.channels), str(header.subtype)
        audio = SoundFileAudio(
            input, path, int(header.frames), int(header.samplerate), str(header.format)
        )
        if subtype in LOSSY_SUBTYPES:
            raise refuse_lossy(name)
        if channels != 2 or subtype not in _EXACT_16_BIT:
            shape = describe_channels(channels, _sample_words(subtype, str(header.subtype_info)))
            raise refuse_shape(name, f"{header.format} file of {shape}")
        refuse_rate(name, audio.sample_rate)
    except BaseException:
        header.close()
        input.close()
        raise
    audio._spare.append(header)
    return audio


def flac_md5(
    path: str | os.PathLike[str],
    name: str,
    decoded: tuple[bytes, int] | None = None,
    streaminfo: Any = None,
) -> tuple[bool | None, str | None]:
    """Whether a FLAC file's decoded audio matches the MD5 its STREAMINFO
    holds (None when it holds none: an MD5 of zeros, or not a FLAC file),
    and a warning when STREAMINFO counts other samples than were decoded.

    FLAC's MD5 is that of the samples as decoded, interleaved, signed and
    little-endian: for 16-bit stereo, the very bytes of its PCM frames.
    The file is decoded a block at a time, unless ``decoded`` gives the
    MD5 and the count of all its frames, as a read of it found them
    (``SoundFileAudio.decoded_md5``); and its STREAMINFO is read with
    mutagen unless ``streaminfo`` gives it.  Raises TrackError for a file
    that cannot be read.
    """
    info = streaminfo if streaminfo is not None else _streaminfo(path, name)
    if not info.md5_signature:
        return None, None
    digest, frames = _decoded_md5(path, name) if decoded is None else decoded
    if digest is None:
        return None, None  # no FLAC file is read without soundfile
    warning = None
    if info.total_samples and info.total_samples != frames:
        warning = f"{name}: its STREAMINFO counts {info.total_samples} samples, {frames} were decoded"
    return digest == int(info.md5_signature).to_bytes(16, "big"), warning


def _streaminfo(path: str | os.PathLike[str], name: str) -> Any:
    from mutagen.flac import FLAC

    try:
        return FLAC(os.fspath(path)).info
    except Exception as error:  # mutagen wraps most troubles in MutagenError, not all
        raise TrackError(f"{name}: cannot be read: {reason(error)}") from None


def _decoded_md5(path: str | os.PathLike[str], name: str) -> tuple[bytes | None, int]:
    """The MD5 of a file's audio decoded to its end, and the frames decoded."""
    soundfile = _load_soundfile()
    if soundfile is None:
        return None, 0
    digest = _md5()
    decoded = 0
    buffer = memoryview(bytearray(_READ_FRAMES * BYTES_PER_FRAME))
    sound = _decoding(name, None, lambda: soundfile.SoundFile(os.fspath(path)))
    try:
        while True:
            frames = int(_decoding(name, None, lambda: sound.buffer_read_into(buffer, "int16")))
            if not frames:
                break
            data = buffer[: frames * BYTES_PER_FRAME]
            digest.update(swap_bytes(bytes(data)) if sys.byteorder == "big" else data)
            decoded += frames
    finally:
        sound.close()
    return digest.digest(), decoded
