// FrameList: the integer container's initialiser (decoding a byte string),
// "to_bytes", its attributes, its tables and its type object.
//
// The initialiser validates into locals and changes the object only once
// everything has succeeded, so a refused re-initialisation leaves a live
// container exactly as it was.
#include "codecs.hpp"
#include "container.hpp"

#include <limits>

namespace {
using namespace orvane;
using namespace orvane::pcm;
using Traits = FrameListTraits;

constexpr const char *bits_message = "bits_per_sample must be 8, 16 or 24";

bool is_supported_width(uint32_t bits) noexcept { return bits == 8 || bits == 16 || bits == 24; }
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
        PyErr_SetString(PyExc_ValueError, bits_message);
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

    pcm_FrameList *container = as_container<Traits>(self);
    PyMem_Free(container->samples);
    container->samples = samples.release();
    container->samples_length = samples_length;
    container->frames = samples_length / channels;
    container->channels = channels;
    container->bits_per_sample = bits_per_sample;
    return 0;
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
        PyErr_SetString(PyExc_ValueError, bits_message);
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

PyMethodDef FrameList_methods[] = {
    {"to_bytes", FrameList_to_bytes, METH_VARARGS,
     "F.to_bytes(is_big_endian, is_signed) -> string"},
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
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "FrameList(string, channels, bits_per_sample, is_big_endian, is_signed)",
    .tp_methods = FrameList_methods,
    .tp_getset = FrameList_getseters,
    .tp_init = FrameList_init,
    .tp_new = FrameList_new,
};
}
