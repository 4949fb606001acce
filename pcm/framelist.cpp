// FrameList: the integer container's initialiser (decoding a byte string),
// "to_bytes", "frame_count", "from_list", its attributes, the exported entry
// points of the shared operations and constructors, its tables and its type
// object.
//
// The initialiser validates into locals and changes the object only once
// everything has succeeded, so a refused re-initialisation leaves a live
// container exactly as it was; that includes one refused because another
// thread is reading its samples.
#include "codecs.hpp"
#include "constructors.hpp"
#include "docstrings.hpp"
#include "operations.hpp"

#include <limits>

namespace {
using namespace orvane;
using namespace orvane::pcm;
using Traits = FrameListTraits;

PySequenceMethods FrameList_as_sequence = {
    .sq_length = FrameList_len,
    .sq_concat = FrameList_concat,
    .sq_repeat = FrameList_repeat,
    .sq_item = FrameList_GetItem,
    .sq_inplace_concat = FrameList_inplace_concat,
    .sq_inplace_repeat = FrameList_inplace_repeat,
};
} // namespace

extern "C" {

int FrameList_init(PyObject *self, PyObject *args, PyObject *) {
    const char *data;
    Py_ssize_t length;
    unsigned int channels, bits_per_sample;
    int is_big_endian, is_signed;
    if (!PyArg_ParseTuple(args, "s#IIii", &data, &length, &channels, &bits_per_sample,
                          &is_big_endian, &is_signed))
        return -1;
    if (channels == 0) {
        PyErr_SetString(PyExc_ValueError, "number of channels must be > 0");
        return -1;
    }
    if (!is_supported_width(bits_per_sample)) {
        PyErr_SetString(PyExc_ValueError, widths_message);
        return -1;
    }
    // Every count of a container is 32 bits wide: refuse a channel count
    // whose bits per frame would wrap (the bytes per frame could become 0).
    const uint64_t bits_per_frame = uint64_t{channels} * bits_per_sample;
    if (bits_per_frame > std::numeric_limits<uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "too many channels: bits per frame must fit in 32 bits");
        return -1;
    }
    const uint64_t bytes_per_frame = bits_per_frame / 8;
    if (uint64_t(length) > std::numeric_limits<uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "byte string too long: at most 2**32 - 1 bytes");
        return -1;
    }
    if (uint64_t(length) % bytes_per_frame != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "number of samples must be divisible by bits-per-sample and number of "
                        "channels");
        return -1;
    }
    const uint32_t samples_length = uint32_t(length) / (bits_per_sample / 8);
    auto samples = PyMemArray<int32_t>::allocate(samples_length);
    if (!samples)
        return -1;
    const auto format = *select_format(bits_per_sample, is_big_endian != 0, is_signed != 0);
    decode_buffer(format, samples.get(), reinterpret_cast<const unsigned char *>(data),
                  samples_length);

    // A container that another thread is reading keeps its samples; the
    // new array goes with its owner.
    return in_critical_section(self, [&]() noexcept {
        pcm_FrameList *container = as_container<Traits>(self);
        if (is_held<Traits>(container))
            return -1;
        PyMem_Free(container->samples);
        container->samples = samples.release();
        container->samples_length = samples_length;
        container->frames = samples_length / channels;
        container->channels = channels;
        container->bits_per_sample = bits_per_sample;
        return 0;
    });
}

PyObject *FrameList_new(PyTypeObject *type, PyObject *, PyObject *) {
    return type->tp_alloc(type, 0);
}

void FrameList_dealloc(PyObject *self) { dealloc<Traits>(self); }

PyObject *FrameList_frames(PyObject *self, void *) {
    return count_to_int(as_container<Traits>(self)->frames);
}

PyObject *FrameList_channels(PyObject *self, void *) {
    return count_to_int(as_container<Traits>(self)->channels);
}

PyObject *FrameList_bits_per_sample(PyObject *self, void *) {
    return count_to_int(as_container<Traits>(self)->bits_per_sample);
}

PyObject *FrameList_to_bytes(PyObject *self, PyObject *args) {
    int is_big_endian, is_signed;
    if (!PyArg_ParseTuple(args, "ii", &is_big_endian, &is_signed))
        return nullptr;
    const pcm_FrameList *container = as_container<Traits>(self);
    const auto format =
        select_format(container->bits_per_sample, is_big_endian != 0, is_signed != 0);
    if (!format) {
        // Only the floating conversion makes other widths: nothing encodes them.
        if (container->samples_length == 0)
            return PyBytes_FromStringAndSize(nullptr, 0);
        PyErr_SetString(PyExc_ValueError, widths_message);
        return nullptr;
    }
    // Sized in 64 bits: 3 bytes times a 32-bit count may pass 2**32.
    const std::size_t size = bytes_per_sample(*format) * std::size_t{container->samples_length};
    if (size > std::size_t(PY_SSIZE_T_MAX))
        return PyErr_NoMemory();
    PyObject *bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size));
    if (!bytes)
        return nullptr;
    auto *destination = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(bytes));
    advise_huge_pages(destination, size);
    encode_buffer(*format, destination, container->samples, container->samples_length);
    return bytes;
}

// bytes / (channels * bytes per sample), truncated toward zero, or 1 when
// that is 0.  A width below 8 bits or a bare object has no positive bytes
// per frame to divide by.
PyObject *FrameList_frame_count(PyObject *self, PyObject *args) {
    const pcm_FrameList *container = as_container<Traits>(self);
    const uint64_t bytes_per_frame =
        uint64_t{container->channels} * (container->bits_per_sample / 8);
    int bytes;
    if (!PyArg_ParseTuple(args, "i", &bytes))
        return nullptr;
    if (bytes_per_frame == 0 || bytes_per_frame > uint64_t(std::numeric_limits<int32_t>::max())) {
        PyErr_SetString(PyExc_ValueError, "bytes per frame must be between 1 and 2**31 - 1");
        return nullptr;
    }
    const int32_t frames = bytes / int32_t(bytes_per_frame);
    return PyLong_FromLong(frames != 0 ? frames : 1);
}

// Integers are stored as given when is_signed is true, else shifted down by
// half the width's range (the unsigned byte formats' mapping), wrapping to
// 32 bits without a range test.
PyObject *FrameList_from_list(PyObject *, PyObject *args) {
    PyObject *sequence;
    int channels, bits_per_sample, is_signed;
    if (!PyArg_ParseTuple(args, "Oiii", &sequence, &channels, &bits_per_sample, &is_signed))
        return nullptr;
    const Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0)
        return nullptr;
    if (channels <= 0) {
        PyErr_SetString(PyExc_ValueError, "channels must be > 0");
        return nullptr;
    }
    if (!is_supported_width(bits_per_sample)) {
        PyErr_SetString(PyExc_ValueError, "unsupported number of bits per sample");
        return nullptr;
    }
    if (length % channels != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "number of samples must be divisible by number of channels");
        return nullptr;
    }
    if (uint64_t(length) > max_count)
        return raise_too_many_samples();
    const uint64_t offset = is_signed ? 0 : uint64_t(-(int64_t{1} << (bits_per_sample - 1)));
    const uint32_t samples_length = uint32_t(length);
    auto samples = PyMemArray<int32_t>::allocate(samples_length);
    if (!samples)
        return nullptr;
    int32_t *destination = samples.get();
    for (uint32_t i = 0; i < samples_length; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(sequence, i));
        if (!item)
            return nullptr;
        const long value = PyLong_AsLong(item.get());
        if (value == -1 && PyErr_Occurred())
            return nullptr;
        destination[i] = int32_t(uint32_t(uint64_t(value) + offset));
    }
    return make_container<Traits>({uint32_t(channels), uint32_t(bits_per_sample)},
                                  samples_length / uint32_t(channels), std::move(samples),
                                  samples_length)
        .release();
}

// The shared operations and constructors, instantiated for FrameList.
PyObject *FrameList_frame(PyObject *self, PyObject *args) { return frame<Traits>(self, args); }
PyObject *FrameList_channel(PyObject *self, PyObject *args) { return channel<Traits>(self, args); }
PyObject *FrameList_split(PyObject *self, PyObject *args) { return split<Traits>(self, args); }
Py_ssize_t FrameList_len(PyObject *self) { return length<Traits>(self); }
PyObject *FrameList_GetItem(PyObject *self, Py_ssize_t index) {
    return get_item<Traits>(self, index);
}
PyObject *FrameList_concat(PyObject *left, PyObject *right) { return concat<Traits>(left, right); }
PyObject *FrameList_repeat(PyObject *self, Py_ssize_t count) { return repeat<Traits>(self, count); }
PyObject *FrameList_inplace_concat(PyObject *left, PyObject *right) {
    return inplace_concat<Traits>(left, right);
}
PyObject *FrameList_inplace_repeat(PyObject *self, Py_ssize_t count) {
    return inplace_repeat<Traits>(self, count);
}
PyObject *FrameList_richcompare(PyObject *left, PyObject *right, int op) {
    return richcompare<Traits>(left, right, op);
}
PyObject *FrameList_empty(PyObject *, PyObject *args) { return empty<Traits>(args); }
PyObject *FrameList_from_frames(PyObject *, PyObject *args) {
    return join<Traits, JoinAxis::frames>(args);
}
PyObject *FrameList_from_channels(PyObject *, PyObject *args) {
    return join<Traits, JoinAxis::channels>(args);
}

PyMethodDef FrameList_methods[] = {
    {"frame", FrameList_frame, METH_VARARGS,
     ORVANE_DOC("frame($self, i, /)", "F.frame(i) -> FrameList -- return the given PCM frame")},
    {"channel", FrameList_channel, METH_VARARGS,
     ORVANE_DOC("channel($self, i, /)", "F.channel(i) -> FrameList -- return the given channel")},
    {"to_bytes", FrameList_to_bytes, METH_VARARGS,
     ORVANE_DOC("to_bytes($self, is_big_endian, is_signed, /)",
                "F.to_bytes(is_big_endian, is_signed) -> string")},
    {"split", FrameList_split, METH_VARARGS,
     ORVANE_DOC("split($self, i, /)",
                "F.split(i) -> (FrameList,FrameList) -- splits the FrameList at the given index")},
    {"to_float", FrameList_to_float, METH_NOARGS,
     ORVANE_DOC("to_float($self, /)", "F.to_float() -> FloatFrameList")},
    {"from_list", FrameList_from_list, METH_VARARGS | METH_CLASS,
     ORVANE_DOC(
         "from_list($type, int_list, channels, bits_per_sample, is_signed, /)",
         "FrameList.from_list(int_list, channels, bits_per_sample, is_signed) -> FrameList")},
    {"from_frames", FrameList_from_frames, METH_VARARGS | METH_CLASS,
     ORVANE_DOC("from_frames($type, framelist_list, /)",
                "FrameList.from_frames(framelist_list) -> FrameList")},
    {"from_channels", FrameList_from_channels, METH_VARARGS | METH_CLASS,
     ORVANE_DOC("from_channels($type, framelist_list, /)",
                "FrameList.from_channels(framelist_list) -> FrameList")},
    {"frame_count", FrameList_frame_count, METH_VARARGS,
     ORVANE_DOC(
         "frame_count($self, bytes, /)",
         "F.frame_count(bytes) -> int -- given a number of bytes, returns the maximum number of "
         "frames that would fit or a minimum of 1")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef FrameList_getseters[] = {
    {"frames", FrameList_frames, nullptr, "frame count", nullptr},
    {"channels", FrameList_channels, nullptr, "channel count", nullptr},
    {"bits_per_sample", FrameList_bits_per_sample, nullptr, "bits per sample", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject pcm_FrameListType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "pcm.FrameList",
    .tp_basicsize = sizeof(pcm_FrameList),
    .tp_itemsize = 0,
    .tp_dealloc = FrameList_dealloc,
    .tp_as_sequence = &FrameList_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc =
        ORVANE_DOC("FrameList(string, channels, bits_per_sample, is_big_endian, is_signed, /)",
                   "FrameList(string, channels, bits_per_sample, is_big_endian, is_signed)"),
    .tp_richcompare = FrameList_richcompare,
    .tp_methods = FrameList_methods,
    .tp_getset = FrameList_getseters,
    .tp_init = FrameList_init,
    .tp_new = FrameList_new,
};
}
