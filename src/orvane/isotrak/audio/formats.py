"""Telling a file's format and opening it: by its content, not its name; lossy
audio refused before any of it is decoded.

WAV files and raw images are read as stored (pcm.py); WavPack, Monkey's
Audio, TAK, TTA, Shorten, MP4 and ASF through PyAV (ffmpeg.py), which
refuses their lossy codecs; every other format through the soundfile
package (libsndfile.py).  Both are optional extras.  A CUE
sheet's FILE type says only whether a file is raw, or lossy; names say
which files of a folder are audio at all.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from orvane.isotrak.audio.base import AudioFile, refuse_lossy
from orvane.isotrak.audio.ffmpeg import ffmpeg_format, open_ffmpeg
from orvane.isotrak.audio.input import FileInput
from orvane.isotrak.audio.libsndfile import SoundFileAudio, open_soundfile
from orvane.isotrak.names import AUDIO_SUFFIXES, LOSSY_SUFFIXES
from orvane.isotrak.audio.pcm import is_wav, open_raw, open_wav
from orvane.isotrak.cd import SAMPLE_RATE
from orvane.isotrak import errors
from orvane.isotrak.errors import TrackError, Warn, gathering

__all__ = [
    "AUDIO_SUFFIXES",
    "LOSSY_SUFFIXES",
    "file_tags",
    "is_lossy_file_type",
    "open_audio",
    "open_track",
    "source_tags",
]

# The rate of raw images, which have no header to say it: a CD's.
RAW_SAMPLE_RATE = SAMPLE_RATE

# CUE sheet FILE types of lossy data, refused without reading the file.
_LOSSY_FILE_TYPES = frozenset({"MP3", "MP2", "AAC", "OPUS", "VORBIS"})
_RAW_FILE_TYPES = {"BINARY": False, "MOTOROLA": True}  # type -> big-endian

# Enough of a file's start to tell its format, Ogg's first packet included.
_HEAD_BYTES = 64

# Names that mutagen takes a RIFF/WAVE file of for WAV whatever else it
# might be (it scores a file's kind by its first bytes and its name), and
# reads its tags from its ID3 chunk alone.
_WAV_NAMES = (".wav", ".wave")

# An ID3 tag before audio is read past to see what follows it, up to this size.
_MAX_ID3_BYTES = 16 << 20


def _container(head: bytes) -> str | None:
    """The format that a file's first bytes name beyond doubt, if any."""
    if is_wav(head):
        return "a WAV file"
    if head[:4] == b"fLaC":
        return "a FLAC file"
    if head[:4] == b"FORM" and head[8:12] in (b"AIFF", b"AIFC"):
        return "an AIFF file"
    if head[:4] == b"OggS":
        return "an Ogg file"
    if head[:3] == b"ID3" and head[3:4] in (b"\x02", b"\x03", b"\x04"):
        return "an ID3-tagged file"
    return None


def _past_id3(input: FileInput, head: bytes) -> bytes | None:
    """The first bytes after an ID3 tag that heads a file (None for a tag
    too long to read past); the file's first bytes if there is no tag."""
    if head[:3] != b"ID3" or len(head) < 10:
        return head
    size = 10 + sum((byte & 0x7F) << (7 * (3 - n)) for n, byte in enumerate(head[6:10]))
    size += 10 if head[5] & 0x10 else 0  # a footer
    if size > _MAX_ID3_BYTES:
        return None
    return input.peek(size + 16)[size:]


def _is_lossy(input: FileInput, head: bytes) -> bool:
    """Whether a file's first bytes are those of MPEG audio, Ogg Vorbis or Opus."""
    if head[:3] == b"ID3" and len(head) >= 10:
        # An ID3 tag usually heads an MP3 file, but a FLAC, TTA or Monkey's
        # Audio file may carry one.
        after = _past_id3(input, head)
        return after is None or (after[:4] != b"fLaC" and ffmpeg_format(after) is None)
    if len(head) >= 2 and head[0] == 0xFF and head[1] & 0xE0 == 0xE0:
        return True  # an MPEG audio frame's sync word (MP1/2/3, AAC in ADTS)
    if head[:4] == b"OggS":
        return any(mark in head for mark in (b"\x01vorbis", b"OpusHead", b"Speex   "))
    return False


def open_audio(
    path: str | os.PathLike[str],
    name: str | None = None,
    *,
    file_type: str | None = None,
    warn: Warn | None = None,
) -> AudioFile:
    """Open an audio file as a track source and check its header.

    ``name`` is the track's name in messages and results; the path by
    default.  ``file_type`` is a CUE sheet's FILE type: BINARY (raw
    little-endian 16-bit stereo at 44100 Hz) and MOTOROLA (the same,
    big-endian) are read as raw images; MP3 and the other lossy types are
    refused unread; anything else, or None, means the format is told by
    the file's content (WAV; with soundfile FLAC, AIFF and the rest of
    libsndfile's formats; with PyAV WavPack, Monkey's Audio, TAK, TTA,
    Shorten, ALAC and WMA Lossless).  ``warn`` takes warnings about the file, one
    line each (by default they go to the disc being checked, else through
    the warnings module).

    The path is opened once, and read forward from that one handle, so a
    named pipe or a process substitution works.  Raises TrackError for a
    file that cannot be checked.
    """
    if warn is None:
        return _open(path, str(path) if name is None else name, file_type)
    with gathering(warn) as gathered:
        audio = _open(path, str(path) if name is None else name, file_type)
    gathered.release()
    return audio


def is_lossy_file_type(file_type: str) -> bool:
    """Whether a CUE sheet's FILE type names lossy data (MP3, ...)."""
    return file_type.upper() in _LOSSY_FILE_TYPES


def open_track(
    path: str | os.PathLike[str], name: str | None = None, *, warn: Warn | None = None
) -> AudioFile:
    """Open an audio file as a track source, its format told by its content.

    The same as ``open_audio`` without a FILE type.
    """
    return open_audio(path, name, warn=warn)


def _open(path: str | os.PathLike[str], shown: str, file_type: str | None) -> AudioFile:
    kind = None if file_type is None else file_type.upper()
    if kind in _LOSSY_FILE_TYPES:
        raise refuse_lossy(shown)
    input = FileInput.open(path, shown)
    try:
        head = input.peek(_HEAD_BYTES)
        if kind in _RAW_FILE_TYPES:
            found = _container(head)
            if found is None:
                return open_raw(
                    input, Path(path), big_endian=_RAW_FILE_TYPES[kind], sample_rate=RAW_SAMPLE_RATE
                )
            # Read raw, a file with a header would have its header checksummed
            # as audio; lossy data is refused below in one line.
            if not _is_lossy(input, head):
                errors.warn(f"{shown}: FILE type {kind}, but it holds {found}; it is read as such")
        if not head:
            raise TrackError(f"{shown}: the file is empty")
        if is_wav(head):
            audio = open_wav(input, Path(path))
            # Told by the name as given, which is cheaper to look at than
            # a Path's, and ends so only if the Path's name does.
            audio.untagged = audio.untagged and os.path.splitext(os.fspath(path))[1].lower() in _WAV_NAMES
            return audio
        format = ffmpeg_format(_past_id3(input, head) or b"")
        if format is not None:
            return open_ffmpeg(input, Path(path), format)
        if _is_lossy(input, head):
            raise refuse_lossy(shown)
        sound = open_soundfile(input, Path(path))
        # mutagen takes a file for FLAC when it starts as FLAC does and is
        # named so (told by the name as given, as for WAV).
        sound.mutagen_flac = head[:4] == b"fLaC" and os.path.splitext(os.fspath(path))[1].lower() == ".flac"
        return sound
    except BaseException:
        input.close()
        raise


def source_tags(source: AudioFile) -> tuple[str | None, str | None]:
    """``file_tags`` of an opened file, without reading again one whose
    header showed it has none (``AudioFile.untagged``); a FLAC file's
    STREAMINFO, read with its tags, is kept for ``flac_md5``."""
    if source.untagged:
        return None, None
    if not (isinstance(source, SoundFileAudio) and source.mutagen_flac):
        return file_tags(source.path)
    if not os.path.isfile(source.path):
        return None, None
    found = _parsed(source.path, flac=True)
    if found is not None:
        source.streaminfo = found.info
    return _titles(found)


def file_tags(path: str | os.PathLike[str]) -> tuple[str | None, str | None]:
    """A track file's title and performer from its tags, for display: None
    for each it does not tell, and for a file that is not a regular file
    or whose tags cannot be read (its audio is judged elsewhere)."""
    if not os.path.isfile(path):
        return None, None
    return _titles(_parsed(path))


def _parsed(path: str | os.PathLike[str], flac: bool = False) -> Any:
    """The file as mutagen reads it, None if it cannot; ``flac``: a file
    that mutagen would take for FLAC, read as such without its guessing."""
    import mutagen  # only for files that may carry tags

    try:
        if flac:
            from mutagen.flac import FLAC

            return FLAC(os.fspath(path))
        return mutagen.File(os.fspath(path))
    except Exception:  # mutagen raises many kinds for what it cannot parse
        return None


def _titles(found: Any) -> tuple[str | None, str | None]:
    tags = getattr(found, "tags", None)
    if tags is None:
        return None, None

    def first(*keys: str) -> str | None:
        for key in keys:
            try:
                value = tags[key]
            except (KeyError, ValueError, TypeError):
                continue
            text = getattr(value, "text", value)  # ID3 frames hold a list in .text
            if isinstance(text, (list, tuple)):
                text = text[0] if text else None
            if text:
                return str(text)
        return None

    return first("title", "TITLE", "TIT2", "\xa9nam"), first("artist", "ARTIST", "TPE1", "\xa9ART")
