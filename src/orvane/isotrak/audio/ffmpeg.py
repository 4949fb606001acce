"""Lossless formats decoded through PyAV (the ``av`` package, FFmpeg's
decoders): WavPack, Monkey's Audio, TAK, TTA, Shorten, ALAC in MP4 and WMA
Lossless in ASF.

PyAV is an optional extra, imported only when such a file is opened;
without it the file is refused in one line that says what it is and what
to install.  Containers that carry lossy codecs too (MP4, ASF) are told
apart by the codec of their audio stream.  Only 2-channel 16-bit PCM is
taken after decoding.  Whatever FFmpeg reports is turned into a TrackError
in one place, ``_decoding``.

Each stream opens the file anew with a demuxer and decoder of its own
(through /proc on Linux, so FFmpeg reads without the interpreter), and
FFmpeg decodes without the interpreter lock: readers in several threads
decode side by side.  A stream from some frame on seeks to the packet at
or before it and drops the decoded frames that come before it.
"""

from __future__ import annotations

import sys
from itertools import chain
from collections.abc import Callable, Iterator
from pathlib import Path
from types import ModuleType
from typing import Any, TypeVar

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

__all__ = ["INSTALL", "FFmpegAudio", "ffmpeg_format", "missing_extra", "open_ffmpeg"]

INSTALL = "pip install 'orvane[ffmpeg]'"

T = TypeVar("T")

# The formats FFmpeg reads for us, by the first bytes of the file.
_MAGIC = {
    b"wvpk": "WavPack",
    b"MAC ": "Monkey's Audio",
    b"tBaK": "TAK",
    b"TTA1": "TTA",
    b"ajkg": "Shorten",
}
_ASF_GUID = bytes.fromhex("3026b2758e66cf11a6d900aa0062ce6c")

# Decoders of exact audio, and what each is called in messages.
_LOSSLESS = {
    "wavpack": "WavPack",
    "ape": "Monkey's Audio",
    "tak": "TAK",
    "tta": "TTA",
    "shorten": "Shorten",
    "alac": "ALAC",
    "wmalossless": "WMA Lossless",
}

# Sample formats of 16-bit integers, interleaved and planar.
_SIXTEEN_BIT = ("s16", "s16p")


def _fraction(value: int) -> Any:
    """``value`` as an exact Fraction (fractions, loaded with PyAV's first file)."""
    from fractions import Fraction

    return Fraction(value)

def ffmpeg_format(head: bytes) -> str | None:
    """The format a file's first bytes name, if it is one that FFmpeg reads for us."""
    if head[:4] in _MAGIC:
        return _MAGIC[head[:4]]
    if head[4:8] == b"ftyp":
        return "MP4"
    if head[:16] == _ASF_GUID:
        return "WMA"
    return None


def missing_extra(name: str, format: str) -> TrackError:
    return TrackError(f"{name}: {format} audio needs the ffmpeg extra: {INSTALL}")


def _load_av() -> ModuleType | None:
    try:
        import av
    except ImportError:
        return None
    return av


def _decoding(name: str, call: Callable[[], T], damaged: str | None = None) -> T:
    """call(), what FFmpeg reports refused with TrackError.

    FFmpeg's message names the file by what it was given (a /proc path):
    the name is ours, and so are the words for data that does not decode
    (``damaged`` says where, once the audio is being read); for any other
    trouble FFmpeg's own words say what it is.
    """
    try:
        return call()
    except TrackError:
        raise
    except Exception as error:  # av.FFmpegError and its kinds, or an OSError of the file
        if damaged is not None and type(error).__name__ == "InvalidDataError":
            raise TrackError(f"{name}: cannot be read: {damaged}") from None
        text = getattr(error, "strerror", None)
        problem = str(text) if text else reason(error)
        raise TrackError(f"{name}: cannot be read: {problem}") from None


def _open_container(av: Any, input: FileInput) -> Any:
    """A container of its own over ``input``, a regular file."""
    source: str | PlacedFile
    if sys.platform.startswith("linux"):
        source = f"/proc/self/fd/{input.file.fileno()}"
    else:
        source = PlacedFile(input)
    return av.open(source, "r")


def _audio_stream(name: str, container: Any) -> Any:
    if not container.streams.audio:
        raise TrackError(f"{name}: holds no audio stream")
    return container.streams.audio[0]


class _Decoder:
    """Frames of a file decoded from frame ``offset`` on, as 16-bit stereo."""

    def __init__(self, av: Any, name: str, kind: str, input: FileInput, offset: int) -> None:
        self._name = name
        self._kind = kind
        self._position = offset  # the next frame read_into gives
        self._container: Any = None
        self._pending = memoryview(b"")  # decoded bytes not yet read
        self._converter: Any = None
        self._resampler = av.AudioResampler
        self._offset = offset
        try:
            self._container = _decoding(name, lambda: _open_container(av, input))
            self._stream = _audio_stream(name, self._container)
            # Formats that keep checksums of their data have them checked:
            # FFmpeg would otherwise decode a damaged block as if whole.
            self._stream.codec_context.options = {"err_detect": "crccheck"}
            self._frames = self._from_offset()
        except BaseException:
            self.close()
            raise

    def _decoded(self) -> Iterator[tuple[int | None, Any]]:
        """Each decoded frame, with the frame number its timestamp gives."""
        stream = self._stream
        scale = stream.time_base * stream.codec_context.rate
        for packet in self._container.demux(stream):
            for frame in stream.decode(packet):
                yield (None if frame.pts is None else int(_fraction(frame.pts) * scale)), frame

    def _from_offset(self) -> Iterator[memoryview]:
        """The audio from frame ``offset`` on, as bytes of interleaved 16-bit
        stereo: the packet at or before it sought, the frames before it dropped."""
        offset, stream = self._offset, self._stream
        decoded = self._decoded()
        first = None
        if offset:
            target = int(_fraction(offset) / (stream.time_base * stream.codec_context.rate))
            try:
                self._container.seek(target, stream=stream, backward=True)
                decoded = self._decoded()
                first = next(decoded, None)
            except Exception:  # a format without an index: read from the start
                first = None
            if first is None or first[0] is None or first[0] > offset:
                self._container.seek(0, stream=stream, backward=True)
                stream.codec_context.flush_buffers()
                decoded, first = self._decoded(), None
        position = 0 if first is None or first[0] is None else first[0]
        frames = decoded if first is None else chain([first], decoded)
        for _, frame in frames:
            skip = min(max(offset - position, 0), frame.samples)
            position += frame.samples
            if skip < frame.samples:
                yield self._interleaved(frame)[skip * BYTES_PER_FRAME :]

    def _interleaved(self, frame: Any) -> memoryview:
        if frame.format.name != "s16":
            if self._converter is None:
                self._converter = self._resampler(format="s16", layout=frame.layout, rate=frame.rate)
            converted = self._converter.resample(frame)
            if len(converted) != 1:
                return memoryview(b"".join(self._samples_of(part) for part in converted))
            frame = converted[0]
        return self._samples_of(frame)

    @staticmethod
    def _samples_of(frame: Any) -> memoryview:
        data = memoryview(frame.planes[0])[: frame.samples * BYTES_PER_FRAME]
        return memoryview(swap_bytes(bytes(data))) if sys.byteorder == "big" else data

    def read_into(self, buffer: memoryview) -> int:
        got = 0
        while got < len(buffer):
            if not self._pending:
                frame = self._position + got // BYTES_PER_FRAME
                damaged = f"its {self._kind} data is damaged after frame {frame}"
                chunk = _decoding(self._name, lambda: next(self._frames, None), damaged)
                if chunk is None:
                    break
                self._pending = chunk
            count = min(len(self._pending), len(buffer) - got)
            buffer[got : got + count] = self._pending[:count]
            self._pending = self._pending[count:]
            got += count
        self._position += got // BYTES_PER_FRAME
        return got // BYTES_PER_FRAME

    def close(self) -> None:
        self._pending = memoryview(b"")
        if self._container is not None:
            container, self._container = self._container, None
            container.close()


class FFmpegAudio(AudioFile):
    """A file decoded through PyAV, as 16-bit stereo frames."""

    decodes = True

    def _open_stream(self, offset: int) -> Stream:
        # Each stream decodes with a container and decoder of its own: readers
        # of one file in several threads never move each other's place.
        av = _load_av()
        assert av is not None  # it opened the file
        return _Decoder(av, self.name, self.format, self._input, offset)


def _count_frames(container: Any, stream: Any) -> int:
    return sum(frame.samples for packet in container.demux(stream) for frame in stream.decode(packet))


def open_ffmpeg(input: FileInput, path: Path, format: str) -> FFmpegAudio:
    """Open ``input``, a file of ``format``, with PyAV and check that it
    holds 16-bit stereo PCM of a lossless codec."""
    name = input.name
    av = _load_av()
    if av is None:
        raise missing_extra(name, format)
    input = input.spooled()
    try:
        container = _decoding(name, lambda: _open_container(av, input))
    except BaseException:
        input.close()
        raise
    try:
        stream = _audio_stream(name, container)
        context = stream.codec_context
        codec = str(context.name)
        if codec not in _LOSSLESS:
            raise refuse_lossy(name, f"{format} file of {context.codec.long_name or codec}")
        kind = _LOSSLESS[codec]
        channels = int(context.channels)
        sample = context.format
        bits = int(getattr(context, "bits_per_raw_sample", 0) or 0) or 8 * int(sample.bytes)
        if channels != 2 or sample.name not in _SIXTEEN_BIT or bits != 16:
            what = "floating-point samples" if sample.name.startswith(("flt", "dbl")) else f"{bits}-bit PCM"
            raise refuse_shape(name, f"{kind} file of {describe_channels(channels, what)}")
        rate = int(context.rate)
        if stream.duration is not None:
            frames = int(_fraction(stream.duration) * stream.time_base * rate)
        else:
            # A stream with no index or header length (Shorten's) is counted
            # by decoding it once.
            frames = _decoding(name, lambda: _count_frames(container, stream))
        audio = FFmpegAudio(input, path, frames, rate, kind)
        refuse_rate(name, rate)
    except BaseException:
        input.close()
        raise
    finally:
        container.close()
    return audio
