// orvane._interop: block copies between the containers of orvane.pcm and
// buffers of plain numbers, the native half of orvane.numpy.
//
// The module is not linked to the pcm module.  At import it imports
// orvane.pcm and takes the table of its native interface from the module's
// capsule (<orvane/pcm_import.h>), the way any other native code would, and
// it reaches containers only through that table and the shared object
// layout.  It needs no numpy to build: arrays arrive through
// the buffer protocol.  Here are the module's functions, their checks and
// messages; copying.hpp holds the loops.
#include <orvane/pcm_import.h>

#include "copying.hpp"
#include "docstrings.hpp"

namespace {
using namespace orvane::interop;
using orvane::PyMemArray;

orvane_pcm_api pcm;

constexpr uint64_t max_count = std::numeric_limits<uint32_t>::max();

bool check_channels(Py_ssize_t channels) noexcept {
    if (channels <= 0) {
        PyErr_SetString(PyExc_ValueError, "number of channels must be > 0");
        return false;
    }
    if (uint64_t(channels) > max_count) {
        PyErr_SetString(PyExc_OverflowError, "number of channels must be below 2**32");
        return false;
    }
    return true;
}

// What a source buffer holds, once it has passed every check.
struct Items {
    Item item;
    uint32_t count;
};

// Acquires object's buffer and checks its items against accepts (naming
// the expected ones when refusing them), then their count against the
// 32-bit limit and the channels, in the constructors' words.
std::optional<Items> items_of(Buffer &buffer, PyObject *object, Py_ssize_t channels,
                              bool (*accepts)(Item), const char *expected) noexcept {
    if (!buffer.acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT))
        return std::nullopt;
    const Item item = item_of(buffer.view());
    if (!accepts(item)) {
        PyErr_Format(PyExc_TypeError, "buffer items must be %s, not format '%s'", expected,
                     buffer.view().format ? buffer.view().format : "B");
        return std::nullopt;
    }
    const std::size_t count = buffer.length() / std::size_t(buffer.view().itemsize);
    if (uint64_t(count) > max_count) {
        PyErr_SetString(PyExc_OverflowError, "result would hold more than 2**32 - 1 samples");
        return std::nullopt;
    }
    if (count % std::size_t(channels) != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "number of samples must be divisible by number of channels");
        return std::nullopt;
    }
    return Items{item, uint32_t(count)};
}

PyObject *framelist_from_buffer(PyObject *, PyObject *args) noexcept {
    PyObject *object;
    Py_ssize_t channels, bits_per_sample;
    if (!PyArg_ParseTuple(args, "Onn", &object, &channels, &bits_per_sample))
        return nullptr;
    if (!check_channels(channels))
        return nullptr;
    if (bits_per_sample != 8 && bits_per_sample != 16 && bits_per_sample != 24) {
        PyErr_SetString(PyExc_ValueError, "bits_per_sample must be 8, 16 or 24");
        return nullptr;
    }
    Buffer buffer;
    const auto items = items_of(buffer, object, channels, is_integer, "int8, int16 or int32");
    if (!items)
        return nullptr;
    const uint32_t count = items->count;
    PyMemArray<int32_t> samples;
    if (!allocate_samples(samples, count))
        return nullptr;
    const int32_t high = (int32_t{1} << (bits_per_sample - 1)) - 1;
    const int32_t low = -high - 1;
    std::optional<std::size_t> offender;
    switch (items->item) {
    case Item::int8:
        offender = copy_integers<int8_t>(samples.get(), buffer.bytes(), count, low, high);
        break;
    case Item::int16:
        offender = copy_integers<int16_t>(samples.get(), buffer.bytes(), count, low, high);
        break;
    default:
        offender = copy_integers<int32_t>(samples.get(), buffer.bytes(), count, low, high);
        break;
    }
    if (offender) {
        const std::size_t frame = *offender / std::size_t(channels);
        const std::size_t channel = *offender % std::size_t(channels);
        PyErr_Format(PyExc_ValueError,
                     "sample %ld in frame %zu, channel %zu is outside the %zd-bit range %ld to %ld",
                     long(samples.get()[*offender]), frame, channel, bits_per_sample, long(low),
                     long(high));
        return nullptr;
    }

    PyObject *result = pcm.FrameList_create();
    if (!result)
        return nullptr;
    auto *container = reinterpret_cast<pcm_FrameList *>(result);
    container->frames = count / uint32_t(channels);
    container->channels = uint32_t(channels);
    container->bits_per_sample = uint32_t(bits_per_sample);
    container->samples = samples.release();
    container->samples_length = count;
    return result;
}

PyObject *floatframelist_from_buffer(PyObject *, PyObject *args) noexcept {
    PyObject *object;
    Py_ssize_t channels;
    if (!PyArg_ParseTuple(args, "On", &object, &channels))
        return nullptr;
    if (!check_channels(channels))
        return nullptr;
    Buffer buffer;
    const auto items = items_of(buffer, object, channels, is_floating, "float32 or float64");
    if (!items)
        return nullptr;
    const uint32_t count = items->count;
    PyMemArray<double> samples;
    if (!allocate_samples(samples, count))
        return nullptr;
    if (items->item == Item::float32)
        copy_floats<float>(samples.get(), buffer.bytes(), count);
    else
        copy_floats<double>(samples.get(), buffer.bytes(), count);

    PyObject *result = pcm.FloatFrameList_create();
    if (!result)
        return nullptr;
    auto *container = reinterpret_cast<pcm_FloatFrameList *>(result);
    container->frames = count / uint32_t(channels);
    container->channels = uint32_t(channels);
    container->samples = samples.release();
    container->samples_length = count;
    return result;
}

// A container's samples as raw memory, whichever of the two types it is.
struct Samples {
    const void *data;
    uint32_t frames;
    uint32_t channels;
    uint32_t length;
    std::size_t item_size;
    const char *typecode; // the struct-module code of one sample
};

// The exact types are recognised without raising anything; instances of
// subclasses go through the converters, which accept them.
std::optional<Samples> samples_of(PyObject *object) noexcept {
    void *container = object;
    bool floating;
    if (pcm.FrameList_CheckExact(object)) {
        floating = false;
    } else if (pcm.FloatFrameList_CheckExact(object)) {
        floating = true;
    } else if (pcm.FrameList_converter(object, &container)) {
        floating = false;
    } else {
        PyErr_Clear();
        if (!pcm.FloatFrameList_converter(object, &container)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "expected a FrameList or a FloatFrameList, not %.200s",
                         Py_TYPE(object)->tp_name);
            return std::nullopt;
        }
        floating = true;
    }
    if (floating) {
        const auto *list = static_cast<const pcm_FloatFrameList *>(container);
        return Samples{list->samples,        list->frames,   list->channels,
                       list->samples_length, sizeof(double), "d"};
    }
    const auto *list = static_cast<const pcm_FrameList *>(container);
    return Samples{list->samples,        list->frames,    list->channels,
                   list->samples_length, sizeof(int32_t), "i"};
}

PyObject *layout(PyObject *, PyObject *object) noexcept {
    const auto samples = samples_of(object);
    if (!samples)
        return nullptr;
    return Py_BuildValue("(kks)", static_cast<unsigned long>(samples->frames),
                         static_cast<unsigned long>(samples->channels), samples->typecode);
}

PyObject *samples_bytes(PyObject *, PyObject *object) noexcept {
    const auto samples = samples_of(object);
    if (!samples)
        return nullptr;
    const std::size_t size = std::size_t{samples->length} * samples->item_size;
    return PyBytes_FromStringAndSize(static_cast<const char *>(samples->data), Py_ssize_t(size));
}

PyObject *copy_samples(PyObject *, PyObject *args) noexcept {
    PyObject *object, *target;
    if (!PyArg_ParseTuple(args, "OO", &object, &target))
        return nullptr;
    // The target's exporter may run Python code that changes the container:
    // its fields are read only once the target is held.
    Buffer buffer;
    if (!buffer.acquire(target, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE))
        return nullptr;
    const auto samples = samples_of(object);
    if (!samples)
        return nullptr;
    const Item wanted = samples->item_size == sizeof(double) ? Item::float64 : Item::int32;
    if (item_of(buffer.view()) != wanted) {
        PyErr_Format(PyExc_TypeError, "target items must be %s, not format '%s'",
                     wanted == Item::float64 ? "float64" : "int32",
                     buffer.view().format ? buffer.view().format : "B");
        return nullptr;
    }
    const std::size_t size = std::size_t{samples->length} * samples->item_size;
    if (buffer.length() != size) {
        PyErr_Format(PyExc_ValueError, "target holds %zu bytes, the samples %zu", buffer.length(),
                     size);
        return nullptr;
    }
    if (size)
        std::memcpy(buffer.writable_bytes(), samples->data, size);
    Py_RETURN_NONE;
}

PyMethodDef interop_methods[] = {
    {"framelist_from_buffer", framelist_from_buffer, METH_VARARGS,
     ORVANE_DOC(
         "framelist_from_buffer($module, buffer, channels, bits_per_sample, /)",
         "framelist_from_buffer(buffer, channels, bits_per_sample) -> FrameList -- copy a "
         "C-contiguous buffer of int8, int16 or int32 items, each in the width's signed range")},
    {"floatframelist_from_buffer", floatframelist_from_buffer, METH_VARARGS,
     ORVANE_DOC(
         "floatframelist_from_buffer($module, buffer, channels, /)",
         "floatframelist_from_buffer(buffer, channels) -> FloatFrameList -- copy a C-contiguous "
         "buffer of float32 or float64 items")},
    {"layout", layout, METH_O,
     ORVANE_DOC("layout($module, container, /)",
                "layout(container) -> (frames, channels, typecode) -- typecode 'i' (int32) or 'd' "
                "(float64)")},
    {"samples_bytes", samples_bytes, METH_O,
     ORVANE_DOC("samples_bytes($module, container, /)",
                "samples_bytes(container) -> bytes -- the interleaved samples in the machine's "
                "byte order")},
    {"copy_samples", copy_samples, METH_VARARGS,
     ORVANE_DOC("copy_samples($module, container, target, /)",
                "copy_samples(container, target) -- copy the interleaved samples into a writable "
                "C-contiguous buffer of int32 or float64 items of the same size")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef interop_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "orvane._interop",
    .m_doc = "block copies between orvane.pcm containers and buffers of numbers",
    .m_size = -1,
    .m_methods = interop_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__interop(void) {
    if (orvane_pcm_import(&pcm) < 0)
        return nullptr;
    return PyModule_Create(&interop_module);
}
