// orvane._interop: block copies between the containers of orvane.pcm and
// buffers of plain numbers, the native half of orvane.numpy.
//
// The module is not linked to the pcm module.  At import it imports
// orvane.pcm and resolves the exported interface from the library that the
// interpreter has loaded (<orvane/pcm_import.h>), the way any other native
// code would, and it reaches containers only through that interface and the
// shared object layout.  It needs no numpy to build: arrays arrive through
// the buffer protocol, and each direction is one pass over the samples.
#include <orvane/pcm_import.h>

#include "owners.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {
using orvane::PyMemArray;
using orvane::PyRef;

orvane_pcm_api pcm;

constexpr uint64_t max_count = std::numeric_limits<uint32_t>::max();

// The item types a buffer may hold.  Integers fill a FrameList and floats a
// FloatFrameList; only int32 and float64 are the containers' own types,
// the narrower ones are widened in the same pass that copies them.
enum class Item { unsupported, int8, int16, int32, float32, float64 };

// Reads the buffer's struct-module format: one item code, with at most a
// byte-order prefix that must mean the machine's own order.
Item item_of(const Py_buffer &view) noexcept {
    const char *format = view.format ? view.format : "B";
    char order = '@';
    if (*format && std::strchr("@=<>!", *format))
        order = *format++;
    const bool foreign =
        std::endian::native == std::endian::little ? order == '>' || order == '!' : order == '<';
    if (foreign || format[0] == '\0' || format[1] != '\0')
        return Item::unsupported;
    switch (format[0]) {
    case 'b':
    case 'h':
    case 'i':
    case 'l':
        // The size decides: 'l' is 4 or 8 bytes depending on the prefix.
        switch (view.itemsize) {
        case 1:
            return Item::int8;
        case 2:
            return Item::int16;
        case 4:
            return Item::int32;
        default:
            return Item::unsupported;
        }
    case 'f':
        return view.itemsize == 4 ? Item::float32 : Item::unsupported;
    case 'd':
        return view.itemsize == 8 ? Item::float64 : Item::unsupported;
    default:
        return Item::unsupported;
    }
}

bool is_integer(Item item) noexcept {
    return item == Item::int8 || item == Item::int16 || item == Item::int32;
}

bool is_floating(Item item) noexcept { return item == Item::float32 || item == Item::float64; }

// A buffer export that is released with its owner.
class Buffer {
  public:
    Buffer() noexcept = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    // False with the exporter's exception set.
    bool acquire(PyObject *object, int flags) noexcept {
        held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer &view() const noexcept { return view_; }
    const unsigned char *bytes() const noexcept {
        return static_cast<const unsigned char *>(view_.buf);
    }
    unsigned char *writable_bytes() const noexcept {
        return static_cast<unsigned char *>(view_.buf);
    }
    std::size_t length() const noexcept { return std::size_t(view_.len); }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// Loads one item from a buffer of any alignment.
template <class T> T load(const unsigned char *source, std::size_t index) noexcept {
    T value;
    std::memcpy(&value, source + index * sizeof(T), sizeof(T));
    return value;
}

// Copies count items into samples, widening them to int32, and returns the
// index of the first value outside low..high, if any.  The copy goes in
// blocks that are checked while they are still in the cache; the check of a
// block only gathers a flag, so it stays one tight pass.
template <class Source>
std::optional<std::size_t> copy_integers(int32_t *samples, const unsigned char *source,
                                         std::size_t count, int32_t low, int32_t high) noexcept {
    constexpr std::size_t block = 16384;
    // Items too narrow to leave the width need no look.
    const bool check =
        std::numeric_limits<Source>::min() < low || std::numeric_limits<Source>::max() > high;
    // A value lies in the range when value - low, taken unsigned, is at most
    // high - low: one comparison per sample.
    const uint32_t span = uint32_t(high) - uint32_t(low);
    for (std::size_t done = 0; done < count; done += block) {
        const std::size_t length = std::min(block, count - done);
        int32_t *out = samples + done;
        if constexpr (std::is_same_v<Source, int32_t>) {
            std::memcpy(out, source + done * sizeof(int32_t), length * sizeof(int32_t));
        } else {
            for (std::size_t i = 0; i < length; ++i)
                out[i] = load<Source>(source, done + i);
        }
        if (!check)
            continue;
        uint32_t outside = 0;
        for (std::size_t i = 0; i < length; ++i)
            outside |= uint32_t(uint32_t(out[i]) - uint32_t(low) > span);
        if (outside) {
            for (std::size_t i = 0;; ++i) {
                if (out[i] < low || out[i] > high)
                    return done + i;
            }
        }
    }
    return std::nullopt;
}

template <class Source>
void copy_floats(double *samples, const unsigned char *source, std::size_t count) noexcept {
    if constexpr (std::is_same_v<Source, double>) {
        if (count)
            std::memcpy(samples, source, count * sizeof(double));
    } else {
        for (std::size_t i = 0; i < count; ++i)
            samples[i] = load<Source>(source, i);
    }
}

// A sample array for count entries from the interpreter's allocator (the
// container frees it with PyMem_Free); empty, with nothing set, for 0.
// Large arrays are fresh pages that the copy faults in one by one: asking
// for transparent huge pages, as numpy does for its arrays, makes that about
// as cheap as the copy into a new array that numpy makes.
template <class T> bool allocate_samples(PyMemArray<T> &samples, uint32_t count) noexcept {
    if (!count)
        return true;
    samples = PyMemArray<T>::allocate(count);
    if (!samples)
        return false;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t page = 4096, large = std::size_t{4} << 20;
    const std::size_t size = std::size_t{count} * sizeof(T);
    if (size >= large) {
        // Only the whole pages inside the array; the advice may be refused.
        const auto start = reinterpret_cast<std::uintptr_t>(samples.get());
        const std::uintptr_t first = (start + page - 1) / page * page;
        const std::uintptr_t end = (start + size) / page * page;
        madvise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);
    }
#endif
    return true;
}

// The checks that every constructor of a container makes on its counts, in
// their order; the number of samples (items of the buffer) on success.
std::optional<uint32_t> checked_count(std::size_t items, Py_ssize_t channels) noexcept {
    if (uint64_t(items) > max_count) {
        PyErr_SetString(PyExc_OverflowError, "result would hold more than 2**32 - 1 samples");
        return std::nullopt;
    }
    if (items % std::size_t(channels) != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "number of samples must be divisible by number of channels");
        return std::nullopt;
    }
    return uint32_t(items);
}

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

// The buffer's items, or nothing with TypeError when accepts refuses them.
std::optional<Item> wanted_items(const Buffer &buffer, bool (*accepts)(Item),
                                 const char *expected) noexcept {
    const Item item = item_of(buffer.view());
    if (!accepts(item)) {
        PyErr_Format(PyExc_TypeError, "buffer items must be %s, not format '%s'", expected,
                     buffer.view().format ? buffer.view().format : "B");
        return std::nullopt;
    }
    return item;
}

constexpr int read_flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;

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
    if (!buffer.acquire(object, read_flags))
        return nullptr;
    const auto item = wanted_items(buffer, is_integer, "int8, int16 or int32");
    if (!item)
        return nullptr;
    const std::size_t item_size = std::size_t(buffer.view().itemsize);
    const auto count = checked_count(buffer.length() / item_size, channels);
    if (!count)
        return nullptr;

    PyMemArray<int32_t> samples;
    if (!allocate_samples(samples, *count))
        return nullptr;
    const int32_t high = (int32_t{1} << (bits_per_sample - 1)) - 1;
    const int32_t low = -high - 1;
    std::optional<std::size_t> offender;
    switch (*item) {
    case Item::int8:
        offender = copy_integers<int8_t>(samples.get(), buffer.bytes(), *count, low, high);
        break;
    case Item::int16:
        offender = copy_integers<int16_t>(samples.get(), buffer.bytes(), *count, low, high);
        break;
    default:
        offender = copy_integers<int32_t>(samples.get(), buffer.bytes(), *count, low, high);
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
    container->frames = *count / uint32_t(channels);
    container->channels = uint32_t(channels);
    container->bits_per_sample = uint32_t(bits_per_sample);
    container->samples = samples.release();
    container->samples_length = *count;
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
    if (!buffer.acquire(object, read_flags))
        return nullptr;
    const auto item = wanted_items(buffer, is_floating, "float32 or float64");
    if (!item)
        return nullptr;
    const std::size_t item_size = std::size_t(buffer.view().itemsize);
    const auto count = checked_count(buffer.length() / item_size, channels);
    if (!count)
        return nullptr;

    PyMemArray<double> samples;
    if (!allocate_samples(samples, *count))
        return nullptr;
    if (*item == Item::float32)
        copy_floats<float>(samples.get(), buffer.bytes(), *count);
    else
        copy_floats<double>(samples.get(), buffer.bytes(), *count);

    PyObject *result = pcm.FloatFrameList_create();
    if (!result)
        return nullptr;
    auto *container = reinterpret_cast<pcm_FloatFrameList *>(result);
    container->frames = *count / uint32_t(channels);
    container->channels = uint32_t(channels);
    container->samples = samples.release();
    container->samples_length = *count;
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
    if (!buffer.acquire(target, read_flags | PyBUF_WRITABLE))
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
     "framelist_from_buffer(buffer, channels, bits_per_sample) -> FrameList -- copy a "
     "C-contiguous buffer of int8, int16 or int32 items, each in the width's signed range"},
    {"floatframelist_from_buffer", floatframelist_from_buffer, METH_VARARGS,
     "floatframelist_from_buffer(buffer, channels) -> FloatFrameList -- copy a C-contiguous "
     "buffer of float32 or float64 items"},
    {"layout", layout, METH_O,
     "layout(container) -> (frames, channels, typecode) -- typecode 'i' (int32) or 'd' "
     "(float64)"},
    {"samples_bytes", samples_bytes, METH_O,
     "samples_bytes(container) -> bytes -- the interleaved samples in the machine's byte order"},
    {"copy_samples", copy_samples, METH_VARARGS,
     "copy_samples(container, target) -- copy the interleaved samples into a writable "
     "C-contiguous buffer of int32 or float64 items of the same size"},
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

// The resolved type objects must be the ones that orvane.pcm hands to
// Python: another copy of the library would make every check fail quietly.
bool same_types_as_module() noexcept {
    PyRef module = PyRef::steal(PyImport_ImportModule("orvane.pcm"));
    if (!module)
        return false;
    PyRef framelist = PyRef::steal(PyObject_GetAttrString(module.get(), "FrameList"));
    PyRef floatframelist = PyRef::steal(PyObject_GetAttrString(module.get(), "FloatFrameList"));
    if (!framelist || !floatframelist)
        return false;
    if (framelist.get() != reinterpret_cast<PyObject *>(pcm.FrameListType) ||
        floatframelist.get() != reinterpret_cast<PyObject *>(pcm.FloatFrameListType)) {
        PyErr_SetString(PyExc_ImportError,
                        "the loaded orvane.pcm library does not hold orvane.pcm's types");
        return false;
    }
    return true;
}
} // namespace

PyMODINIT_FUNC PyInit__interop(void) {
    if (orvane_pcm_import(&pcm) < 0 || !same_types_as_module())
        return nullptr;
    return PyModule_Create(&interop_module);
}
