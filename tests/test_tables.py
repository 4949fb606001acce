"""The Python-visible tables: method order and docstrings, class methods
bound to the module functions, and the module's function table."""

from __future__ import annotations

import inspect

from orvane import pcm

FRAMELIST_METHODS = {
    "frame": "F.frame(i) -> FrameList -- return the given PCM frame",
    "channel": "F.channel(i) -> FrameList -- return the given channel",
    "to_bytes": "F.to_bytes(is_big_endian, is_signed) -> string",
    "split": "F.split(i) -> (FrameList,FrameList) -- splits the FrameList at the given index",
    "to_float": "F.to_float() -> FloatFrameList",
    "from_list": "FrameList.from_list(int_list, channels, bits_per_sample, is_signed) -> FrameList",
    "from_frames": "FrameList.from_frames(framelist_list) -> FrameList",
    "from_channels": "FrameList.from_channels(framelist_list) -> FrameList",
    "frame_count": "F.frame_count(bytes) -> int -- given a number of bytes, returns the maximum "
    "number of frames that would fit or a minimum of 1",
}

FLOATFRAMELIST_METHODS = {
    "frame": "FF.frame(i) -> FloatFrameList -- return the given PCM frame",
    "channel": "FF.channel(i) -> FloatFrameList -- return the given channel",
    "split": "FF.split(i) -> (FloatFrameList,FloatFrameList) -- splits the FloatFrameList at "
    "the given index",
    "from_frames": "FloatFrameList.from_frames(floatframelist_list) -> FloatFrameList",
    "from_channels": "FloatFrameList.from_channels(floatframelist_list) -> FloatFrameList",
    "to_int": "FF.to_int(bits_per_sample) -> FrameList",
}

MODULE_FUNCTIONS = {
    "empty_framelist": "empty_framelist(channels, bits_per_sample) -> FrameList",
    "from_list": "from_list(int_list, channels, bits_per_sample, is_signed) -> FrameList",
    "from_frames": "from_frames(framelist_list) -> FrameList",
    "from_channels": "from_channels(framelist_list) -> FrameList",
    "empty_float_framelist": "empty_float_framelist(channels) -> FloatFrameList",
    "from_float_frames": "from_float_frames(floatframelist_list) -> FloatFrameList",
    "from_float_channels": "from_float_channels(floatframelist_list) -> FloatFrameList",
}


def methods_of(cls):
    return {
        name: value.__doc__
        for name, value in vars(cls).items()
        if inspect.ismethoddescriptor(value) and not name.startswith("__")
    }


def test_method_tables_in_order():
    assert list(methods_of(pcm.FrameList).items()) == list(FRAMELIST_METHODS.items())
    assert list(methods_of(pcm.FloatFrameList).items()) == list(FLOATFRAMELIST_METHODS.items())


def test_module_functions_in_order():
    functions = {
        name: value.__doc__
        for name, value in vars(pcm).items()
        if inspect.isbuiltin(value)
    }
    assert list(functions.items()) == list(MODULE_FUNCTIONS.items())


def test_class_methods_are_the_module_functions():
    pairs = [
        (pcm.FrameList.from_list, pcm.from_list, ([1, 2], 2, 8, 0)),
        (pcm.FrameList.from_frames, pcm.from_frames, ([pcm.from_list([1], 1, 8, 1)],)),
        (pcm.FrameList.from_channels, pcm.from_channels, ([pcm.from_list([1], 1, 8, 1)],)),
        (pcm.FloatFrameList.from_frames, pcm.from_float_frames, ([pcm.FloatFrameList([1.0], 1)],)),
        (pcm.FloatFrameList.from_channels, pcm.from_float_channels, ([pcm.FloatFrameList([1.0], 1)],)),
    ]
    for method, function, args in pairs:
        assert method(*args) == function(*args)
        assert method.__self__ is not None  # bound to the class


def test_type_objects():
    for cls, doc in (
        (pcm.FrameList, "FrameList(string, channels, bits_per_sample, is_big_endian, is_signed)"),
        (pcm.FloatFrameList, "FloatFrameList(float_list, channels)"),
    ):
        assert cls.__doc__ == doc and cls.__module__ == "pcm" and cls.__hash__ is None
    assert pcm.FloatFrameList.__qualname__ == "FloatFrameList"
    assert {n for n, v in vars(pcm.FloatFrameList).items() if inspect.isdatadescriptor(v)} >= {
        "frames", "channels"}
    assert "bits_per_sample" not in vars(pcm.FloatFrameList)
