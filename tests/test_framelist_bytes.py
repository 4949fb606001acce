"""FrameList built from byte strings and turned back into bytes."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

from formats import FORMATS, Format, fields, samples
from orvane import pcm

DIVISIBILITY = "number of samples must be divisible by bits-per-sample and number of channels"


def frame_list(fmt: Format, data, channels: int = 1) -> pcm.FrameList:
    return pcm.FrameList(data, channels, fmt.bits, int(fmt.big_endian), int(fmt.signed))


@st.composite
def format_and_values(draw):
    fmt = draw(st.sampled_from(FORMATS))
    channels = draw(st.integers(1, 4))
    frames = draw(st.integers(0, 40))
    values = draw(
        st.lists(
            st.integers(-fmt.half, fmt.half - 1),
            min_size=frames * channels,
            max_size=frames * channels,
        )
    )
    return fmt, channels, values


@given(format_and_values())
def test_decoding_keeps_values_and_interleaving(case):
    fmt, channels, values = case
    data = b"".join(fmt.encode(v) for v in values)
    container = frame_list(fmt, data, channels)
    assert (container.frames, container.channels, container.bits_per_sample) == (
        len(values) // channels,
        channels,
        fmt.bits,
    )
    assert fields(container).samples_length == len(values)
    assert samples(container) == values
    assert container.to_bytes(int(fmt.big_endian), int(fmt.signed)) == data


@given(format_and_values(), st.sampled_from(FORMATS))
def test_encoding_into_another_format_clamps_or_wraps(case, target):
    fmt, channels, values = case
    if target.bits != fmt.bits:
        return
    container = frame_list(fmt, b"".join(fmt.encode(v) for v in values), channels)
    expected = b"".join(target.encode(v) for v in values)
    assert container.to_bytes(int(target.big_endian), int(target.signed)) == expected


@pytest.mark.parametrize("fmt", FORMATS, ids=lambda f: f.tag)
def test_empty_byte_string(fmt):
    container = frame_list(fmt, b"", 2)
    assert (container.frames, container.channels, fields(container).samples_length) == (0, 2, 0)
    assert container.to_bytes(0, 1) == b""


def test_examples():
    assert samples(pcm.FrameList(b"\x00\x80", 1, 16, 0, 0)) == [0]
    assert samples(pcm.FrameList(b"\x00\x80", 1, 16, 0, 1)) == [-32768]
    stereo = pcm.FrameList(b"\x01\x00\x02\x00\x03\x00\x04\x00", 2, 16, 0, 1)
    assert samples(stereo) == [1, 2, 3, 4]
    assert pcm.FrameList(b"\x00\x00\x00\x00", 2, 16, 0, 1).frames == 1
    # A str is taken as its UTF-8 bytes.
    assert samples(pcm.FrameList("\u00e9", 1, 8, 0, 0)) == [0xC3 - 128, 0xA9 - 128]


def test_byte_order_does_not_matter_at_8_bits():
    data = bytes(range(256))
    for signed in (0, 1):
        little, big = pcm.FrameList(data, 1, 8, 0, signed), pcm.FrameList(data, 1, 8, 1, signed)
        assert samples(little) == samples(big)
        assert little.to_bytes(1, signed) == little.to_bytes(0, signed) == data


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((b"", 0, 12, 0, 1), ValueError, "number of channels must be > 0"),
        ((b"", 0, 16, 0, 1), ValueError, "number of channels must be > 0"),
        ((b"", 2, 12, 0, 1), ValueError, "bits_per_sample must be 8, 16 or 24"),
        ((b"", 2, 32, 0, 1), ValueError, "bits_per_sample must be 8, 16 or 24"),
        ((b"abc", 2, 16, 0, 1), ValueError, DIVISIBILITY),
        ((b"abcde", 1, 24, 0, 1), ValueError, DIVISIBILITY),
        ((b"abcde", 1, 16, 0, 1), ValueError, DIVISIBILITY),
    ],
)
def test_refusals_in_order(args, error, message):
    with pytest.raises(error) as raised:
        pcm.FrameList(*args)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "args",
    [
        (),
        (b"", 2, 16, 0),
        (b"", 2, 16, 0, 1, 7),
        (bytearray(b"ab"), 1, 16, 0, 1),  # writable buffers are not read-only bytes
        (b"", 2, 16, "x", 1),
        (b"", 2.0, 16, 0, 1),
    ],
)
def test_the_argument_parser_refuses(args):
    with pytest.raises(TypeError):
        pcm.FrameList(*args)


def test_channels_are_taken_modulo_2_32_and_then_checked():
    # The parser's unsigned unit wraps -1 to 2**32 - 1: far too many channels.
    with pytest.raises(ValueError, match="too many channels"):
        pcm.FrameList(b"", -1, 16, 0, 1)
    assert pcm.FrameList(b"\x01", 2**32 + 1, 8, 0, 1).channels == 1


def test_attributes_are_read_only():
    container = pcm.FrameList(b"\x00\x00", 1, 16, 0, 1)
    for name in ("frames", "channels", "bits_per_sample"):
        with pytest.raises(AttributeError):
            setattr(container, name, 3)


def test_a_refused_reinitialisation_leaves_the_object_as_it_was():
    container = pcm.FrameList(b"\x01\x00\x02\x00", 2, 16, 0, 1)
    for args in [(b"abc", 2, 16, 0, 1), (b"", 0, 8, 0, 1), (b"", 3, 12, 0, 1), (b"", 2**29, 8, 0, 1)]:
        with pytest.raises(ValueError):
            container.__init__(*args)
        assert (container.frames, container.channels, container.bits_per_sample) == (1, 2, 16)
        assert samples(container) == [1, 2]
    container.__init__(b"\x05\x06\x07", 3, 8, 0, 1)
    assert (container.frames, container.channels, samples(container)) == (1, 3, [5, 6, 7])


def test_a_bare_object_is_empty():
    bare = pcm.FrameList.__new__(pcm.FrameList)
    assert (bare.frames, bare.channels, bare.bits_per_sample) == (0, 0, 0)
    assert bare.to_bytes(0, 1) == b""


def test_to_bytes_of_an_unencodable_width():
    container = pcm.FrameList(b"\x01\x00", 1, 16, 0, 1)
    fields(container).bits_per_sample = 12
    with pytest.raises(ValueError, match="bits_per_sample must be 8, 16 or 24"):
        container.to_bytes(0, 1)
    assert pcm.FrameList.__new__(pcm.FrameList).to_bytes(1, 1) == b""
    with pytest.raises(TypeError):
        container.to_bytes(0)


def run_isolated(code: str) -> subprocess.CompletedProcess:
    """Runs code in a child interpreter, so a faulty build crashes only it."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_counts_that_would_wrap_are_refused():
    result = run_isolated(
        """
        from orvane import pcm
        for args in [(b"", 2**29, 8, 0, 1), (b"", 2**28 + 1, 16, 0, 1), (b"", 2**32 - 1, 24, 0, 1)]:
            try:
                pcm.FrameList(*args)
            except ValueError as error:
                print("refused", error)
        # bytes(n) comes from calloc: its zero pages are never touched here.
        huge = bytes(2**32)
        try:
            pcm.FrameList(huge, 1, 8, 0, 1)
        except ValueError as error:
            print("refused", error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("refused") == 4, result.stdout
