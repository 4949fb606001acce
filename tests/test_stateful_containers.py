"""Random sequences of every container operation, checked after each step
against the plain-Python model; a refused operation must leave both the
model and the objects as they were."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from container_model import FLOAT, INT, Model, equal, observe, to_float, to_int
from formats import FORMATS
from orvane import pcm


class SubFrameList(pcm.FrameList):
    pass


class SubFloatFrameList(pcm.FloatFrameList):
    pass


WIDTHS = (8, 16, 24)
MAX_SAMPLES = 96  # keeps repeated growth small
small_counts = st.integers(-2, 4)
indexes = st.integers(-3, 10)
floats = st.floats(width=64, allow_nan=True, allow_infinity=True) | st.sampled_from(
    [0.0, -0.0, 1.0, -1.0, 0.5, 1e10, -1e10]
)


class Containers(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.items: list[tuple[object, Model]] = []

    # -- creation ------------------------------------------------------
    def add(self, container, model: Model):
        assert observe(container).key() == model.key()
        self.items.append((container, model))

    @rule(data=st.data(), channels=st.integers(1, 3), frames=st.integers(0, 5))
    def from_bytes(self, data, channels, frames):
        fmt = data.draw(st.sampled_from(FORMATS))
        values = data.draw(
            st.lists(
                st.integers(-fmt.half, fmt.half - 1),
                min_size=channels * frames,
                max_size=channels * frames,
            )
        )
        raw = b"".join(fmt.encode(v) for v in values)
        cls = data.draw(st.sampled_from([pcm.FrameList, SubFrameList]))
        container = cls(raw, channels, fmt.bits, int(fmt.big_endian), int(fmt.signed))
        self.add(container, Model(INT, channels, fmt.bits, values, cls is pcm.FrameList))

    @rule(data=st.data(), channels=st.integers(1, 3), frames=st.integers(0, 5))
    def from_floats(self, data, channels, frames):
        values = data.draw(st.lists(floats, min_size=channels * frames, max_size=channels * frames))
        cls = data.draw(st.sampled_from([pcm.FloatFrameList, SubFloatFrameList]))
        self.add(cls(values, channels), Model(FLOAT, channels, None, values, cls is pcm.FloatFrameList))

    @rule(channels=st.integers(1, 3), bits=st.sampled_from(WIDTHS), data=st.data())
    def from_list(self, channels, bits, data):
        values = data.draw(st.lists(st.integers(-(2**31), 2**31 - 1), max_size=3 * channels))
        values = values[: len(values) - len(values) % channels]
        self.add(pcm.from_list(values, channels, bits, 1), Model(INT, channels, bits, values))

    @rule(channels=st.integers(1, 3), bits=st.sampled_from(WIDTHS), floating=st.booleans())
    def empty(self, channels, bits, floating):
        if floating:
            self.add(pcm.empty_float_framelist(channels), Model(FLOAT, channels, None))
        else:
            self.add(pcm.empty_framelist(channels, bits), Model(INT, channels, bits))

    # -- operations that make new containers ---------------------------
    def pick(self, data):
        return data.draw(st.sampled_from(self.items))

    @precondition(lambda self: self.items)
    @rule(data=st.data(), index=indexes)
    def frame(self, data, index):
        container, model = self.pick(data)
        if 0 <= index < model.frames:
            c = model.channels
            self.add(container.frame(index), model.copy(model.samples[index * c : (index + 1) * c]))
        else:
            with pytest.raises(IndexError, match="frame number out of range"):
                container.frame(index)

    @precondition(lambda self: self.items)
    @rule(data=st.data(), index=indexes)
    def channel(self, data, index):
        container, model = self.pick(data)
        if 0 <= index < model.channels:
            picked = model.samples[index :: model.channels]
            self.add(container.channel(index), model.copy(picked, channels=1))
        else:
            with pytest.raises(IndexError, match="channel number out of range"):
                container.channel(index)

    @precondition(lambda self: self.items)
    @rule(data=st.data(), index=indexes)
    def split(self, data, index):
        container, model = self.pick(data)
        if index < 0:
            with pytest.raises(IndexError, match="split point must be >= 0"):
                container.split(index)
            return
        head, tail = container.split(index)
        cut = min(index, model.frames) * model.channels
        if index >= model.frames:
            assert head is container
        elif index == 0:
            assert tail is container
        for half, samples in ((head, model.samples[:cut]), (tail, model.samples[cut:])):
            if half is not container:
                self.add(half, model.copy(samples))

    @precondition(lambda self: self.items)
    @rule(data=st.data())
    def concatenate(self, data):
        (a, ma), (b, mb) = self.pick(data), self.pick(data)
        error = self.concat_error(ma, mb)
        if error:
            with pytest.raises(error[0], match=error[1]):
                a + b
        elif len(ma.samples) + len(mb.samples) <= MAX_SAMPLES:
            self.add(a + b, ma.copy(ma.samples + mb.samples))

    @staticmethod
    def concat_error(ma: Model, mb: Model):
        name = "FrameList" if ma.kind == INT else "FloatFrameList"
        if mb.kind != ma.kind or not mb.exact:
            return TypeError, f"can only concatenate {name} with other {name}s"
        if ma.channels != mb.channels:
            return ValueError, f"both {name}s must have the same number of channels"
        if ma.bits != mb.bits:
            return ValueError, f"both {name}s must have the same number of bits per sample"
        return None

    @precondition(lambda self: self.items)
    @rule(data=st.data(), count=small_counts, left=st.booleans())
    def repeat(self, data, count, left):
        container, model = self.pick(data)
        if len(model.samples) * max(count, 0) <= MAX_SAMPLES:
            result = container * count if left else count * container
            assert result is not container
            self.add(result, model.copy(model.samples * max(count, 0)))

    @precondition(lambda self: self.items)
    @rule(data=st.data())
    def conversions(self, data):
        container, model = self.pick(data)
        if model.kind == INT:
            self.add(container.to_float(), to_float(model))
        else:
            bits = data.draw(st.sampled_from([8, 16, 24, 1, 32]))
            self.add(container.to_int(bits), to_int(model, bits))

    @precondition(lambda self: self.items)
    @rule(data=st.data(), by_channels=st.booleans())
    def join(self, data, by_channels):
        container, model = self.pick(data)
        if not model.exact or model.frames == 0:
            return
        if by_channels:
            parts = [container.channel(i) for i in range(model.channels)]
            joined = (pcm.from_channels if model.kind == INT else pcm.from_float_channels)(parts)
        else:
            parts = [container.frame(i) for i in range(model.frames)]
            joined = (pcm.from_frames if model.kind == INT else pcm.from_float_frames)(parts)
        self.add(joined, model.copy())

    # -- operations that change their left operand ---------------------
    @precondition(lambda self: self.items)
    @rule(data=st.data())
    def inplace_concatenate(self, data):
        (a, ma), (b, mb) = self.pick(data), self.pick(data)
        error = self.concat_error(ma, mb)
        before = a
        if error:
            with pytest.raises(error[0], match=error[1]):
                a += b
        elif len(ma.samples) + len(mb.samples) <= MAX_SAMPLES:
            a += b
            assert a is before
            ma.samples = ma.samples + mb.samples  # mb may be ma itself

    @precondition(lambda self: self.items)
    @rule(data=st.data(), count=small_counts)
    def inplace_repeat(self, data, count):
        a, model = self.pick(data)
        if len(model.samples) * max(count, 0) <= MAX_SAMPLES:
            before = a
            a *= count
            assert a is before
            model.samples = model.samples * max(count, 0)

    @precondition(lambda self: self.items)
    @rule(data=st.data())
    def reinitialise(self, data):
        container, model = self.pick(data)
        good = data.draw(st.booleans())
        if model.kind == INT:
            args = (b"\x01\x02", 2, 8, 0, 1) if good else (b"\x01\x02\x03", 2, 8, 0, 1)
        else:
            args = ([0.25, 0.5], 2) if good else (data.draw(st.sampled_from([[0.1], [0.1, None], 5])), 2)
        if good:
            container.__init__(*args)
            model.channels = 2
            if model.kind == INT:
                model.bits, model.samples = 8, [1, 2]
            else:
                model.samples = [0.25, 0.5]
        else:
            with pytest.raises((ValueError, TypeError)):
                container.__init__(*args)

    # -- reading -------------------------------------------------------
    @precondition(lambda self: self.items)
    @rule(data=st.data(), index=st.integers(-12, 12))
    def item(self, data, index):
        container, model = self.pick(data)
        if -len(model.samples) <= index < len(model.samples):
            value = container[index]
            expected = model.samples[index]
            assert model.copy([value]).key() == model.copy([expected]).key()
        else:
            with pytest.raises(IndexError, match="index out of range"):
                container[index]

    @precondition(lambda self: self.items)
    @rule(data=st.data())
    def compare(self, data):
        (a, ma), (b, mb) = self.pick(data), self.pick(data)
        assert (a == b) is equal(ma, mb)
        assert (a != b) is not equal(ma, mb)
        with pytest.raises(TypeError, match="unsupported comparison"):
            a < b

    @invariant()
    def every_container_matches_its_model(self):
        for container, model in self.items:
            assert observe(container).key() == model.key()
            assert observe(container).exact == model.exact


TestContainers = Containers.TestCase
TestContainers.settings = settings(
    max_examples=100,
    stateful_step_count=50,
    deadline=None,
    suppress_health_check=[HealthCheck.large_base_example, HealthCheck.too_slow],
)
