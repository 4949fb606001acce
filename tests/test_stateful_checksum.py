"""Random sequences of Checksum construction, re-initialisation, updates
(accepted and refused) and result reads, checked against the checksums'
definition; a refused call must leave the object as it was."""

from __future__ import annotations

import struct

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, precondition, rule

from checksum_model import expected_for, track_keywords
from orvane import pcm
from orvane._isotrak import Checksum

samples16 = st.integers(-32768, 32767)


class SubFrameList(pcm.FrameList):
    pass


class Checksums(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.checksum = Checksum.__new__(Checksum)
        self.track: dict | None = None
        self.frames: list[tuple[int, int]] = []

    @property
    def needed(self) -> int:
        return self.track["total_pcm_frames"] + self.track["pcm_frame_range"] - 1

    @rule(
        total=st.integers(-1, 24),
        rate=st.integers(-1, 700),
        first=st.booleans(),
        last=st.booleans(),
        frame_range=st.integers(0, 5),
        offset=st.integers(-1, 5),
    )
    def initialise(self, total, rate, first, last, frame_range, offset):
        track = track_keywords(total, rate, first, last, frame_range, offset)
        valid = total > 0 and rate > 0 and frame_range > 0 and 0 <= offset < frame_range
        if valid:
            self.checksum.__init__(**track)
            self.track, self.frames = track, []
        else:
            with pytest.raises(ValueError):
                self.checksum.__init__(**track)
            self.track = None  # a failed initialisation leaves nothing usable

    @rule(data=st.data(), frames=st.integers(0, 12), shape=st.sampled_from(["ok", "mono", "24", "sub"]))
    def update(self, data, frames, shape):
        channels = 1 if shape == "mono" else 2
        bits = 24 if shape == "24" else 16
        samples = data.draw(st.lists(samples16, min_size=frames * channels, max_size=frames * channels))
        if shape == "sub":  # subclasses are accepted by update
            block = SubFrameList(struct.pack(f"<{len(samples)}h", *samples), channels, 16, 0, 1)
        else:
            block = pcm.from_list(samples, channels, bits, 1)
        if self.track is None:
            with pytest.raises(ValueError, match="Checksum is not initialized"):
                self.checksum.update(block)
        elif channels != 2:
            with pytest.raises(ValueError, match="FrameList must be 2 channels"):
                self.checksum.update(block)
        elif bits != 16:
            with pytest.raises(ValueError, match="FrameList must be 16 bits per sample"):
                self.checksum.update(block)
        elif len(self.frames) + frames > self.needed:
            with pytest.raises(ValueError, match="too many samples for checksum"):
                self.checksum.update(block)
        else:
            self.checksum.update(block)
            self.frames.extend(zip(samples[0::2], samples[1::2]))

    @precondition(lambda self: self.track is not None)
    @rule()
    def refuse_other_objects(self):
        with pytest.raises(TypeError):
            self.checksum.update(pcm.FloatFrameList([0.0, 0.0], 2))
        with pytest.raises(TypeError):
            self.checksum.update()

    @rule()
    def results(self):
        if self.track is None:
            with pytest.raises(ValueError, match="Checksum is not initialized"):
                self.checksum.checksums_v1()
            return
        if len(self.frames) < self.needed:
            for read in (self.checksum.checksums_v1, self.checksum.checksum_v2):
                with pytest.raises(ValueError, match="insufficient samples for checksums"):
                    read()
            return
        v1, v2 = expected_for(self.track, self.frames)
        assert self.checksum.checksums_v1() == v1
        assert self.checksum.checksum_v2() == v2

    @precondition(lambda self: self.track is not None)
    @rule()
    def fill_to_the_end(self):
        missing = self.needed - len(self.frames)
        samples = [(i * 7919) % 65536 - 32768 for i in range(2 * missing)]
        self.checksum.update(pcm.from_list(samples, 2, 16, 1))
        self.frames.extend(zip(samples[0::2], samples[1::2]))
        self.results()


TestChecksums = Checksums.TestCase
TestChecksums.settings = settings(max_examples=100, stateful_step_count=30, deadline=None)
