"""Every native function, method and type carries a text signature that
inspect and help() read, and its docstring reads as before.

Where the docstring spells the call out ("F.split(i) -> ..."), its
arguments must be the signature's: the two are written apart, so a typo
in either shows here.
"""

from __future__ import annotations

import inspect
import pydoc
import re
import types

import pytest

from orvane import _interop, _isotrak, pcm

METHODS = (types.MethodDescriptorType, types.ClassMethodDescriptorType)


def native_callables():
    for module in (pcm, _isotrak, _interop):
        for name, value in sorted(vars(module).items()):
            if isinstance(value, types.BuiltinFunctionType):
                yield f"{module.__name__}.{name}", value
            elif isinstance(value, type):
                yield f"{module.__name__}.{name}", value
                for attribute, member in sorted(vars(value).items()):
                    if isinstance(member, METHODS):
                        yield f"{module.__name__}.{name}.{attribute}", getattr(value, attribute)


CALLABLES = dict(native_callables())


@pytest.mark.parametrize("name", sorted(CALLABLES))
def test_signature_matches_the_docstring(name):
    native = CALLABLES[name]
    parameters = [p for p in inspect.signature(native).parameters if p != "self"]
    doc = native.__doc__
    assert doc and "\n--\n" not in doc and "$" not in doc
    spelled = re.match(r"[\w.]*\((.*?)\)", doc)
    if spelled:
        assert [a for a in spelled[1].split(", ") if a] == parameters


def test_every_native_callable_is_covered():
    # pcm: 7 functions, FrameList and its 9 methods, FloatFrameList and its 6;
    # _isotrak: Checksum and its 5 methods; _interop: 5 functions.
    assert len(CALLABLES) == 7 + 1 + 9 + 1 + 6 + 1 + 5 + 5


def test_checksum_constructor_arguments_and_help():
    assert str(inspect.signature(_isotrak.Checksum)) == (
        "(total_pcm_frames, sample_rate=44100, is_first=0, is_last=0, "
        "pcm_frame_range=1, isotrakv2_offset=0)"
    )
    assert _isotrak.Checksum.__doc__ == "Checksum objects"
    # Later interpreters wrap a long signature, one argument a line.
    text = pydoc.render_doc(_isotrak.Checksum, renderer=pydoc.plaintext)
    for shown in ("Checksum(", "total_pcm_frames,", "sample_rate=44100,", "isotrakv2_offset=0",
                  "update(self, framelist, /)"):  # fmt: skip
        assert shown in text
