"""CUE sheets to their model: text, files in several encodings, FLAC embedded sheets."""

from __future__ import annotations

import codecs
import json
import subprocess
import sys

import numpy as np
import pytest
import soundfile
from hypothesis import given, settings
from hypothesis import strategies as st
from mutagen.flac import FLAC, CueSheet, CueSheetTrack, CueSheetTrackIndex

from orvane.isotrak.cuesheet import (
    CueError,
    CueFile,
    embedded_cue,
    format_time,
    parse_cue,
    read_cue,
)
from orvane.isotrak.discs import check_disc
from orvane.isotrak.errors import TrackError


def at(minutes: int, seconds: int, frames: int) -> int:
    return (minutes * 60 + seconds) * 75 + frames


def layout(sheet):
    """Files as (name, type); tracks as (number, mode, file, pregap, postgap, title, indexes)."""
    files = [(file.name, file.file_type) for file in sheet.files]
    tracks = [
        (t.number, t.mode, t.file, t.pregap, t.postgap, t.title,
         [(i.number, i.file, i.position) for i in t.indexes])
        for t in sheet.tracks
    ]  # fmt: skip
    return files, tracks


GOOD = [
    (  # an image; ignored commands, any case, CR LF, quoted names with spaces
        "\r\n",
        ['REM GENRE "Rock"', "CATALOG 0000000000000", 'PERFORMER "The Band"', "TITLE Live",
         'file "Disc Image.wav" wave', "  Track 01 Audio", '    TITLE "Intro"', "    FLAGS DCP",
         "    ISRC XX0000000000", "    index 01 00:00:00", "  TRACK 02 AUDIO",
         "    SONGWRITER Someone", "    INDEX 00 03:58:10", "    INDEX 01 04:00:00",
         "    INDEX 02 05:00:00"],
        [("Disc Image.wav", "WAVE")],
        [(1, "AUDIO", 0, 0, 0, "Intro", [(1, 0, 0)]),
         (2, "AUDIO", 0, 0, 0, None, [(0, 0, at(3, 58, 10)), (1, 0, at(4, 0, 0)), (2, 0, at(5, 0, 0))])],
    ),
    (  # track files, the gap at the end of the previous file; old Mac line ends
        "\r",
        ["FILE 01.wav WAVE", "TRACK 01 AUDIO", "INDEX 01 00:00:00", "TRACK 02 AUDIO",
         "INDEX 00 03:58:10", "FILE 02.wav WAVE", "INDEX 01 00:00:00"],
        [("01.wav", "WAVE"), ("02.wav", "WAVE")],
        [(1, "AUDIO", 0, 0, 0, None, [(1, 0, 0)]),
         (2, "AUDIO", 0, 0, 0, None, [(0, 0, at(3, 58, 10)), (1, 1, 0)])],
    ),
    (  # track files, the gap at the start of the next; PREGAP and POSTGAP; unquoted spaces
        "\n",
        ["FILE My Song.wav WAVE", "TRACK 01 AUDIO", "PREGAP 00:02:00", "INDEX 01 00:00:00",
         "POSTGAP 00:00:30", 'FILE "02.wav" WAVE', "TRACK 02 AUDIO", "INDEX 00 00:00:00",
         "INDEX 01 00:01:74"],
        [("My Song.wav", "WAVE"), ("02.wav", "WAVE")],
        [(1, "AUDIO", 0, 150, 30, None, [(1, 0, 0)]),
         (2, "AUDIO", 1, 0, 0, None, [(0, 1, 0), (1, 1, at(0, 1, 74))])],
    ),
    (  # hidden audio before track 1: INDEX 00 at the start, and INDEX 01 alone past it
        "\n",
        ['FILE "a.wav" WAVE', "TRACK 01 AUDIO", "INDEX 00 00:00:00", "INDEX 01 00:32:15",
         'FILE "b.wav" WAVE', "TRACK 02 AUDIO", "INDEX 01 01:00:00"],
        [("a.wav", "WAVE"), ("b.wav", "WAVE")],
        [(1, "AUDIO", 0, 0, 0, None, [(0, 0, 0), (1, 0, at(0, 32, 15))]),
         (2, "AUDIO", 1, 0, 0, None, [(1, 1, at(1, 0, 0))])],
    ),
    (  # a data track first, in a big-endian raw image
        "\n",
        ['FILE "disc.bin" MOTOROLA', "TRACK 01 MODE1/2352", "INDEX 01 00:00:00",
         "TRACK 02 AUDIO", "PREGAP 00:02:00", "INDEX 01 10:00:00"],
        [("disc.bin", "MOTOROLA")],
        [(1, "MODE1/2352", 0, 0, 0, None, [(1, 0, 0)]),
         (2, "AUDIO", 0, 150, 0, None, [(1, 0, at(10, 0, 0))])],
    ),
    (  # an enhanced disc: audio in a raw image, a data track last in a file of its own
        "\n",
        ['FILE "audio.bin" BINARY', "TRACK 01 AUDIO", "INDEX 01 00:00:00",
         'FILE "data.bin" BINARY', "TRACK 02 mode2/2352", "INDEX 01 00:00:00"],
        [("audio.bin", "BINARY"), ("data.bin", "BINARY")],
        [(1, "AUDIO", 0, 0, 0, None, [(1, 0, 0)]), (2, "MODE2/2352", 1, 0, 0, None, [(1, 1, 0)])],
    ),
]


@pytest.mark.parametrize(("newline", "lines", "files", "tracks"), GOOD)
def test_good_sheets(newline, lines, files, tracks):
    sheet = parse_cue(newline.join(lines) + newline, "CUE.cue")
    assert layout(sheet) == (files, tracks)
    assert [track.is_audio for track in sheet.tracks] == [t[1] == "AUDIO" for t in tracks]


def test_disc_fields_and_index_lookup():
    sheet = parse_cue("\n".join(GOOD[0][1]))
    assert (sheet.title, sheet.performer, sheet.tracks[0].performer) == ("Live", "The Band", None)
    assert sheet.name == "CUE sheet" and sheet.encoding == "utf-8"
    assert sheet.tracks[1].index(0) == sheet.tracks[1].indexes[0] and sheet.tracks[1].index(3) is None


@settings(max_examples=50, deadline=None)
@given(
    st.lists(st.tuples(st.booleans(), st.integers(0, 9000)), min_size=1, max_size=12),
    st.sampled_from(["\n", "\r\n", "\r"]),
    st.booleans(),
)
def test_any_track_layout(steps, newline, lower):
    """Tracks at rising positions, a new FILE wherever asked, read back as written."""
    lines, expected, position = ['FILE "f0.wav" WAVE'], [], 0
    for number, (new_file, step) in enumerate(steps, 1):
        position += step
        if new_file and number > 1:
            lines.append(f'FILE "f{len(lines)}.wav" WAVE')
            position = step
        files = sum(line.startswith("FILE") for line in lines) - 1
        lines += [f"  TRACK {number:02d} AUDIO", f"    INDEX 01 {format_time(position)}"]
        expected.append((number, files, position))
    text = newline.join(line.lower() if lower else line for line in lines)
    sheet = parse_cue(text)
    assert [(t.number, t.file, t.indexes[0].position) for t in sheet.tracks] == expected
    assert [f.name for f in sheet.files] == [line.split('"')[1] for line in lines if "FILE" in line]


HEAD = ['FILE "a.wav" WAVE', "TRACK 01 AUDIO"]
ONE = [*HEAD, "INDEX 01 00:00:00"]

BAD = [
    (["TRACK 01 AUDIO"], "line 1: TRACK 01 comes before any FILE"),
    (["FILE a.wav WAVE", "INDEX 01 00:00:00"], "line 2: INDEX 01 comes before any TRACK"),
    (["FILE a.wav WAVE", "POSTGAP 00:02:00"], "line 2: POSTGAP comes before any TRACK"),
    ([*HEAD, "INDEX 01 03:61:00"], "line 3: INDEX 01 time 03:61:00 has 61 seconds"),
    ([*HEAD, "INDEX 01 03:00:75"], "line 3: INDEX 01 time 03:00:75 has 75 frames; a second has 75"),
    ([*HEAD, "INDEX 01 -1:00:00"], "line 3: INDEX 01 time -1:00:00 is not mm:ss:ff"),
    ([*HEAD, "PREGAP 2:00"], "line 3: PREGAP time 2:00 is not mm:ss:ff"),
    (["FILE a.wav WAVE", "TRACK 1a AUDIO"], "line 2: TRACK number 1a is not a number"),
    (["FILE a.wav WAVE", "TRACK 01 AUIDO"], "line 2: TRACK 01 has an unknown mode AUIDO"),
    (["FILE a.wav WAVE", "TRACK 00 AUDIO", "INDEX 01 00:00:00"], "line 2: TRACK 00 is outside 1 to 99"),
    ([*ONE, "TRACK 01 AUDIO", "INDEX 01 00:01:00"],
     "line 4: TRACK 01 follows TRACK 01; track numbers must increase"),
    ([*HEAD, "INDEX 100 00:00:00"], "line 3: INDEX 100 is outside 0 to 99"),
    ([*ONE, "INDEX 01 00:01:00"],
     "line 4: INDEX 01 follows INDEX 01 in TRACK 01; index numbers must increase"),
    ([*HEAD, "INDEX 00 00:00:00", "TRACK 02 AUDIO", "INDEX 01 00:01:00"],
     "line 2: TRACK 01 has no INDEX 01"),
    ([*ONE, "TRACK 02 AUDIO", "INDEX 00 02:10:00", "INDEX 01 02:00:00"],
     "line 6: INDEX 01 of TRACK 02 at 02:00:00 is before the index at 02:10:00 in the same FILE"),
    ([*ONE, "PREGAP 00:01:00", "PREGAP 00:01:00"], "line 5: TRACK 01 has a second PREGAP"),
    ([*HEAD, "INDEX 01"], "line 3: INDEX needs a number and a time"),
    (["FILE a.wav WAVE", "TRACK 01"], "line 2: TRACK needs a number and a mode"),
    (['FILE "a.wav"'], 'line 1: FILE "a.wav" has no type'),
    (['FILE "a.wav WAVE'], "line 1: FILE has a quote that is not closed"),
    ([*ONE, 'TITLE "Intro'], "line 4: TITLE has a quote that is not closed"),
    (["REM nothing here", "FILE a.wav WAVE"], "line 2: the sheet has no TRACK"),
    ([], "line 1: the sheet has no TRACK"),
    ([*ONE, "POSTGAP 999999999:00:00"],
     "line 4: POSTGAP time 999999999:00:00 is longer than a CD holds (99 minutes)"),
    ([*HEAD, "PREGAP 99:00:01"], "line 3: PREGAP time 99:00:01 is longer than a CD holds (99 minutes)"),
    ([*HEAD, "INDEX 01 100:00:00"],
     "line 3: INDEX 01 time 100:00:00 is longer than a CD holds (99 minutes)"),
    ([*HEAD, "PREGAP 60:00:00", "INDEX 01 00:00:00", "POSTGAP 39:00:01"],
     "line 5: POSTGAP 39:00:01 brings the sheet's gaps to 99:00:01, more than a CD holds (99 minutes)"),
]


@pytest.mark.parametrize(("lines", "message"), BAD)
def test_malformed_sheets(lines, message):
    with pytest.raises(CueError) as refused:
        parse_cue("\r\n".join(lines), "CUE.cue")
    assert str(refused.value) == f"CUE.cue: {message}"


SHEET = 'PERFORMER "{0}"\nFILE "{1}" WAVE\n  TRACK 01 AUDIO\n    TITLE "{2}"\n    INDEX 01 00:00:00\n'
WESTERN = ("Björk", "01 - Café Crème.wav", "Crème brûlée, señor")
CYRILLIC = ("Кино", "01 - Группа крови.wav", "Закрой за мной дверь, я ухожу")


@pytest.mark.parametrize(
    ("words", "prefix", "codec", "encoding"),
    [
        (CYRILLIC, codecs.BOM_UTF8, "utf-8", "utf-8"),
        (CYRILLIC, codecs.BOM_UTF16_LE, "utf-16-le", "utf-16-le"),
        (WESTERN, codecs.BOM_UTF16_BE, "utf-16-be", "utf-16-be"),
        (CYRILLIC, b"", "utf-8", "utf-8"),
        (WESTERN, b"", "cp1252", "cp1252"),
        (CYRILLIC, b"", "cp1251", "cp1251"),
    ],
)
def test_encodings(tmp_path, words, prefix, codec, encoding):
    path = tmp_path / "sheet.cue"
    path.write_bytes(prefix + SHEET.format(*words).encode(codec))
    sheet = read_cue(path)
    assert (sheet.performer, sheet.files[0].name, sheet.tracks[0].title) == words
    assert sheet.encoding == encoding and sheet.name == str(path)


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (None, "cannot be read: No such file or directory"),
        (codecs.BOM_UTF8 + b"REM\nTITLE \xff\n",
         "line 2: not UTF-8 text, although it starts with that byte-order mark"),
        (b"REM" * (1 << 20), "larger than 1 MiB, not a CUE sheet"),
    ],
)
def test_unreadable_sheets(tmp_path, data, message):
    path = tmp_path / "x.cue"
    if data is not None:
        path.write_bytes(data)
    with pytest.raises(TrackError) as refused:
        read_cue(path, "x.cue")
    assert str(refused.value) == f"x.cue: {message}"


SECTOR = 588


@pytest.fixture
def flac_path(tmp_path):
    path = tmp_path / "disc.flac"
    soundfile.write(path, np.zeros((20 * SECTOR, 2), np.int16), 44100, subtype="PCM_16")
    return path


def block(*tracks):
    """A CUESHEET block from (number, offset, type, [(index, offset), ...])."""
    sheet = CueSheet(None)
    for number, offset, kind, indexes in tracks:
        track = CueSheetTrack(number, offset, type_=kind)
        track.indexes = [CueSheetTrackIndex(*point) for point in indexes]
        sheet.tracks.append(track)
    return sheet


def test_embedded_block(flac_path):
    flac = FLAC(flac_path)
    flac.cuesheet = block(
        (1, 0, 0, [(0, 0), (1, 2 * SECTOR)]),
        (2, 8 * SECTOR, 0, [(0, 0), (1, SECTOR)]),
        (3, 14 * SECTOR, 1, [(1, 0)]),
        (170, 20 * SECTOR, 0, []),
    )
    flac["CUESHEET"] = 'FILE "x.wav" WAVE\nTRACK 05 AUDIO\nINDEX 01 00:00:00\n'  # the block wins
    flac.save()
    sheet = embedded_cue(flac_path, "disc")
    assert sheet is not None and sheet.pcm_positions and sheet.name == "disc: CUESHEET block"
    assert layout(sheet) == (
        [("disc.flac", "FLAC")],
        [(1, "AUDIO", 0, 0, 0, None, [(0, 0, 0), (1, 0, 2 * SECTOR)]),
         (2, "AUDIO", 0, 0, 0, None, [(0, 0, 8 * SECTOR), (1, 0, 9 * SECTOR)]),
         (3, "DATA", 0, 0, 0, None, [(1, 0, 14 * SECTOR)])],
    )  # fmt: skip
    assert not sheet.tracks[2].is_audio


def test_embedded_tag(flac_path):
    flac = FLAC(flac_path)
    lines = ["REM", 'FILE "Disc Image.wav" WAVE', "TRACK 01 AUDIO", "INDEX 01 00:00:00",
             "TRACK 02 AUDIO", "INDEX 01 00:00:40"]  # fmt: skip
    flac["cuesheet"] = "\n".join(lines)  # tag names are read in any case
    flac.save()
    sheet = embedded_cue(flac_path)
    assert sheet is not None and not sheet.pcm_positions
    assert sheet.files == (CueFile("disc.flac", "FLAC", 2),)
    assert [track.indexes[0].position for track in sheet.tracks] == [0, 40]


@pytest.mark.parametrize(
    ("tag", "cuesheet", "outcome"),
    [
        (None, None, None),  # a FLAC without a sheet
        ('FILE "a.wav" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nFILE "b.wav" WAVE\n',
         None, "disc.flac: CUESHEET tag: line 4: a second FILE; "
         "an embedded sheet describes its own FLAC file only"),
        (None, block((1, 0, 0, [(1, 0)]), (2, SECTOR, 0, [(0, 0)]), (170, 2 * SECTOR, 0, [])),
         "disc.flac: CUESHEET block: TRACK 02 has no INDEX 01"),
        (None, block((1, 0, 0, [(1, SECTOR)]), (2, 0, 0, [(1, 0)])),
         "disc.flac: CUESHEET block: INDEX 01 of TRACK 02 at PCM frame 0 "
         "is before the index at PCM frame 588 in the same FILE"),
    ],
)  # fmt: skip
def test_embedded_outcomes(flac_path, tag, cuesheet, outcome):
    flac = FLAC(flac_path)
    if tag is not None:
        flac["CUESHEET"] = tag
    flac.cuesheet = cuesheet
    flac.save()
    if outcome is None:
        assert embedded_cue(flac_path, "disc.flac") is None
    else:
        with pytest.raises(CueError) as refused:
            embedded_cue(flac_path, "disc.flac")
        assert str(refused.value) == outcome


def test_a_block_past_the_audio_names_the_block_and_the_track(flac_path):
    flac = FLAC(flac_path)
    flac.cuesheet = block((1, 0, 0, [(1, 0)]), (2, 30 * SECTOR, 0, [(1, 0)]), (170, 40 * SECTOR, 0, []))
    flac.save()
    with pytest.raises(TrackError) as refused:
        check_disc(flac_path)
    assert str(refused.value) == (
        f"{flac_path}: CUESHEET block: track 2 starts past the end of disc.flac, "
        f"which holds {20 * SECTOR} frames"
    )


def test_gaps_as_long_as_a_disc_make_no_silence_that_nothing_reads(tmp_path):
    """A 99-minute PREGAP before track 1 changes no checksum (silence
    stands before the disc's first frame anyway), and is passed over at once."""
    soundfile.write(tmp_path / "a.wav", np.arange(-4000, 4000, dtype=np.int16).reshape(-1, 2),
                    44100, subtype="PCM_16")  # fmt: skip
    plain = ["FILE a.wav WAVE", "TRACK 01 AUDIO", "INDEX 01 00:00:00", "TRACK 02 AUDIO", "INDEX 01 00:00:03"]
    gapped = [*plain[:2], "PREGAP 99:00:00", *plain[2:]]
    results = []
    for name, lines in (("plain.cue", plain), ("gapped.cue", gapped)):
        (tmp_path / name).write_text("\n".join(lines))
        command = [sys.executable, "-m", "orvane.isotrak", "--search", "5", "--json", name]
        done = subprocess.run(command, cwd=tmp_path, capture_output=True, timeout=20, check=True)
        results.append([(t["v1_by_shift"], t["v2"]) for t in json.loads(done.stdout)["tracks"]])
    assert results[0] == results[1]


def test_embedded_other_files(tmp_path, flac_path):
    (tmp_path / "a.wav").write_bytes(b"RIFF\x04\x00\x00\x00WAVE")
    assert embedded_cue(tmp_path / "a.wav") is None
    (tmp_path / "cut.flac").write_bytes(flac_path.read_bytes()[:50])
    refusals = [("cut.flac", "damaged FLAC file: "), ("none.flac", "cannot be read: No such file")]
    for name, message in refusals:
        with pytest.raises(TrackError, match=f"^{name}: {message}"):
            embedded_cue(tmp_path / name, name)
