// The _isotrak module: the Checksum type (object record, construction,
// destruction, "update" and the two result methods), its tables and
// PyInit__isotrak.  Beyond those, "update_bytes" takes raw little-endian
// 16-bit stereo frames straight from a bytes-like object, and
// "checksums_v1_bytes" gives the version 1 checksums as one bytes object:
// a disc's reading path needs neither a FrameList per block nor a Python
// int per read offset.
//
// The module does not link against the pcm module: each construction
// imports orvane.pcm and keeps its FrameList type, and "update" reads the
// fields of a block straight from the shared pcm_FrameList structure.  The
// arithmetic lives in accumulator.cpp; this file checks and converts.
//
// Threads.  The update methods and checksums_v1_bytes let go of the
// interpreter lock around the arithmetic of a long block, so the tracks of
// a disc can be checksummed on several cores.  Every method that reads or
// writes a Checksum's state holds the object's own lock for it, so calls
// on one object from several threads run one at a time, in some order.  A
// FrameList read without the interpreter lock is held (its exports count)
// and refuses +=, *= and __init__ until the read is over.
#include "../pcm/pcm.h"
#include "../common/docstrings.hpp"
#include "../common/owners.hpp"
#include "../common/threads.hpp"
#include "accumulator.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace {
using orvane::PyRef;
namespace isotrak = orvane::isotrak;

// After the interpreter's header, the fields of ChecksumState and then the
// FrameList type: the same layout as one flat record of those fields.  The
// lock that serialises the methods follows them; it is made by
// Checksum_new and freed by Checksum_dealloc.
struct Checksum {
    PyObject_HEAD isotrak::ChecksumState state;
    PyObject *framelist_type;
    orvane::ObjectLock state_lock;
};

static_assert(std::is_standard_layout_v<Checksum>);
static_assert(offsetof(Checksum, state) == sizeof(PyObject));
static_assert(offsetof(Checksum, framelist_type) ==
              (offsetof(Checksum, state) + offsetof(isotrak::ChecksumState, v2_offset) +
               sizeof(uint32_t) + alignof(PyObject *) - 1) /
                  alignof(PyObject *) * alignof(PyObject *));

Checksum *as_checksum(PyObject *object) noexcept { return reinterpret_cast<Checksum *>(object); }

// framelist_type is set, together with the rest of the state, only by a
// successful construction, and cleared by a failed one; without it the
// object has no usable state.
bool is_initialized(const Checksum *checksum) noexcept {
    if (checksum->framelist_type)
        return true;
    PyErr_SetString(PyExc_ValueError, "Checksum is not initialized");
    return false;
}

bool is_ready(const Checksum *checksum) noexcept {
    if (!is_initialized(checksum))
        return false;
    if (isotrak::is_complete(checksum->state))
        return true;
    PyErr_SetString(PyExc_ValueError, "insufficient samples for checksums");
    return false;
}

bool fail(PyObject *type, const char *message) noexcept {
    PyErr_SetString(type, message);
    return false;
}

// "update" reads the pcm_FrameList fields of whatever the "O!" check lets
// through, so the type kept must be FrameList or derive from it.
bool has_framelist_layout(PyObject *object) noexcept {
    if (!PyType_Check(object))
        return false;
    for (auto *type = reinterpret_cast<PyTypeObject *>(object); type; type = type->tp_base) {
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
            std::strcmp(type->tp_name, "pcm.FrameList") == 0 &&
            type->tp_basicsize == Py_ssize_t(sizeof(pcm_FrameList)) && type->tp_itemsize == 0)
            return true;
    }
    return false;
}

// Checks the constructor's arguments in their order; true when all pass.
bool check_arguments(int total_pcm_frames, int sample_rate, int pcm_frame_range,
                     int isotrakv2_offset) noexcept {
    if (total_pcm_frames <= 0)
        return fail(PyExc_ValueError, "total PCM frames must be > 0");
    if (sample_rate <= 0)
        return fail(PyExc_ValueError, "sample rate must be > 0");
    if (pcm_frame_range <= 0)
        return fail(PyExc_ValueError, "PCM frame range must be > 0");
    if (isotrakv2_offset < 0)
        return fail(PyExc_ValueError, "isotrakv2_offset must be >= 0");
    // checksum_v2 reads checksums[isotrakv2_offset].
    if (isotrakv2_offset >= pcm_frame_range)
        return fail(PyExc_ValueError, "isotrakv2_offset must be < PCM frame range");
    return true;
}

// What a construction makes before it touches the object: a whole new
// state and the FrameList type.  Whatever it holds when it goes is
// released, buffers first; after install() that is the object's earlier
// state.
struct Parts {
    isotrak::ChecksumState state{};
    PyRef framelist_type;

    Parts() noexcept = default;
    Parts(const Parts &) = delete;
    Parts &operator=(const Parts &) = delete;
    ~Parts() { isotrak::release_buffers(state); }
};

// Parses, converts and checks the arguments, in that order, then makes the
// parts.  Everything in a construction that can run Python code (argument
// conversion, the import, the attribute lookup, the release of the module)
// happens here, before the object is touched, so code that re-enters the
// object finds it in one piece and whatever it leaves there is released
// by the install or the clearing that follows.
bool make_parts(PyObject *args, PyObject *kwds, Parts &parts) noexcept {
    static const char *keyword_list[] = {
        "total_pcm_frames", "sample_rate",      "is_first", "is_last",
        "pcm_frame_range",  "isotrakv2_offset", nullptr};
    int total_pcm_frames = 0, sample_rate = 44100, is_first = 0, is_last = 0;
    int pcm_frame_range = 1, isotrakv2_offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "i|iiiii", const_cast<char **>(keyword_list),
                                     &total_pcm_frames, &sample_rate, &is_first, &is_last,
                                     &pcm_frame_range, &isotrakv2_offset))
        return false;
    if (!check_arguments(total_pcm_frames, sample_rate, pcm_frame_range, isotrakv2_offset))
        return false;
    const isotrak::Window window =
        isotrak::counted_window(total_pcm_frames, sample_rate, is_first != 0, is_last != 0);
    if (!isotrak::start_track(parts.state, uint32_t(total_pcm_frames), window,
                              uint32_t(pcm_frame_range), uint32_t(isotrakv2_offset))) {
        PyErr_NoMemory();
        return false;
    }
    PyRef module = PyRef::steal(PyImport_ImportModule("orvane.pcm"));
    if (!module)
        return false;
    parts.framelist_type = PyRef::steal(PyObject_GetAttrString(module.get(), "FrameList"));
    if (!parts.framelist_type)
        return false;
    if (!has_framelist_layout(parts.framelist_type.get()))
        return fail(PyExc_TypeError, "orvane.pcm.FrameList is not the FrameList type");
    return true;
}

// Puts the new parts into the object and the earlier ones into parts, in
// one step that runs no Python code, under the object's lock.
void install(Checksum *checksum, Parts &parts) noexcept {
    const orvane::StateLock lock(checksum->state_lock);
    std::swap(checksum->state, parts.state);
    PyRef earlier = PyRef::steal(checksum->framelist_type);
    checksum->framelist_type = parts.framelist_type.release();
    parts.framelist_type = std::move(earlier);
}

// Generic creation, then the lock: every other field starts zero.
PyObject *Checksum_new(PyTypeObject *type, PyObject *args, PyObject *kwds) noexcept {
    PyObject *self = PyType_GenericNew(type, args, kwds);
    if (self && !as_checksum(self)->state_lock.make()) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

// Folds frames into the sums, without the interpreter lock when the block
// is long.  The caller holds the object's lock and has checked the count.
template <class Frames>
void fold(Checksum *checksum, const Frames *frames, uint32_t count, bool unlocked) noexcept {
    if (unlocked) {
        const orvane::InterpreterReleased released;
        isotrak::update(checksum->state, frames, count);
    } else {
        isotrak::update(checksum->state, frames, count);
    }
}

} // namespace

// The type's two native entry points are exported by name, beside the
// module's initialiser; everything else stays hidden.
#define ISOTRAK_EXPORT __attribute__((visibility("default")))

extern "C" {

ISOTRAK_EXPORT int Checksum_init(PyObject *self, PyObject *args, PyObject *kwds) noexcept {
    Checksum *checksum = as_checksum(self);
    Parts made, nothing;
    const bool success = make_parts(args, kwds, made);
    // A failed construction leaves the object holding nothing.  The earlier
    // state goes with the parts once the object holds the new one, after
    // the lock is free again: releasing its type can run Python code.
    install(checksum, success ? made : nothing);
    return success ? 0 : -1;
}

ISOTRAK_EXPORT void Checksum_dealloc(PyObject *self) noexcept {
    Checksum *checksum = as_checksum(self);
    isotrak::release_buffers(checksum->state);
    Py_XDECREF(checksum->framelist_type);
    checksum->state_lock.free();
    Py_TYPE(self)->tp_free(self);
}

// The block is held while the arithmetic runs without the interpreter
// lock: its exports count, raised and lowered in its critical section,
// makes +=, *= and __init__ refuse it meanwhile.  A short block, or one
// whose count is at its maximum, is summed inside the critical section
// instead.  The argument tuple keeps the block alive for the whole call.
PyObject *Checksum_update(PyObject *self, PyObject *args) noexcept {
    Checksum *checksum = as_checksum(self);
    const orvane::StateLock lock(checksum->state_lock);
    if (!is_initialized(checksum))
        return nullptr;
    PyObject *object;
    if (!PyArg_ParseTuple(args, "O!", reinterpret_cast<PyTypeObject *>(checksum->framelist_type),
                          &object))
        return nullptr;
    auto *block = reinterpret_cast<pcm_FrameList *>(object);
    enum class Outcome { refused, summed, held };
    const auto refuse = [](const char *message) noexcept {
        PyErr_SetString(PyExc_ValueError, message);
        return Outcome::refused;
    };
    const int32_t *samples = nullptr;
    uint32_t frames = 0;
    const Outcome outcome = orvane::in_critical_section(object, [&]() noexcept {
        if (block->channels != 2)
            return refuse("FrameList must be 2 channels");
        if (block->bits_per_sample != 16)
            return refuse("FrameList must be 16 bits per sample");
        if (block->frames > isotrak::frames_wanted(checksum->state))
            return refuse("too many samples for checksum");
        samples = block->samples;
        frames = block->frames;
        if (frames < orvane::unlocked_minimum ||
            block->exports == std::numeric_limits<uint32_t>::max()) {
            fold(checksum, samples, frames, false);
            return Outcome::summed;
        }
        ++block->exports;
        return Outcome::held;
    });
    if (outcome == Outcome::refused)
        return nullptr;
    if (outcome == Outcome::held) {
        fold(checksum, samples, frames, true);
        orvane::in_critical_section(object, [&]() noexcept { return --block->exports; });
    }
    Py_RETURN_NONE;
}

PyObject *Checksum_checksums_v1(PyObject *self, PyObject *) noexcept {
    Checksum *checksum = as_checksum(self);
    // Made before the lock is taken and released after it is free: freeing
    // a list can run Python code.  Making an int cannot.
    PyRef list;
    const orvane::StateLock lock(checksum->state_lock);
    if (!is_ready(checksum))
        return nullptr;
    const uint32_t range = checksum->state.pcm_frame_range;
    list = PyRef::steal(PyList_New(Py_ssize_t{range}));
    if (!list)
        return nullptr;
    for (uint32_t k = 0; k < range; ++k) {
        PyObject *item = PyLong_FromUnsignedLong(checksum->state.checksums[k]);
        if (!item)
            return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t{k}, item);
    }
    return list.release();
}

PyObject *Checksum_checksum_v2(PyObject *self, PyObject *) noexcept {
    Checksum *checksum = as_checksum(self);
    uint32_t value;
    {
        const orvane::StateLock lock(checksum->state_lock);
        if (!is_ready(checksum))
            return nullptr;
        value = isotrak::checksum_v2(checksum->state);
    }
    return PyLong_FromUnsignedLong(value);
}

// The raw form of a block: as "update" takes a FrameList of 2 channels and
// 16 bits, this takes its SL16 bytes, whose 4-byte frames are frame values
// already.  Same count check and message as "update"; a refused block
// changes nothing.
//
// Taking the buffer can run Python code, and so can giving it back, so both
// happen outside the lock; the export keeps the bytes in place meanwhile.
PyObject *Checksum_update_bytes(PyObject *self, PyObject *args) noexcept {
    Checksum *checksum = as_checksum(self);
    Py_buffer view;
    if (!PyArg_ParseTuple(args, "y*", &view))
        return nullptr;
    const orvane::HeldBuffer held(view);
    const orvane::StateLock lock(checksum->state_lock);
    if (!is_initialized(checksum))
        return nullptr;
    const auto length = std::size_t(view.len);
    if (length % 4 != 0)
        return PyErr_Format(PyExc_ValueError, "data must be whole 4-byte frames");
    // frames_wanted() is below 2^32, so a count that passes fits 32 bits.
    if (length / 4 > isotrak::frames_wanted(checksum->state))
        return PyErr_Format(PyExc_ValueError, "too many samples for checksum");
    const auto frames = uint32_t(length / 4);
    fold(checksum, static_cast<const unsigned char *>(view.buf), frames,
         frames >= orvane::unlocked_minimum);
    Py_RETURN_NONE;
}

// checksums_v1() as little-endian unsigned 32-bit words, entry k at byte
// 4 k: 4 bytes per read offset instead of a list of Python ints.
// A long range is copied without the interpreter lock, into a bytes object
// that no other code can see yet.
PyObject *Checksum_checksums_v1_bytes(PyObject *self, PyObject *) noexcept {
    Checksum *checksum = as_checksum(self);
    const orvane::StateLock lock(checksum->state_lock);
    if (!is_ready(checksum))
        return nullptr;
    const uint32_t range = checksum->state.pcm_frame_range;
    // Only a 32-bit interpreter could not hold 4 bytes per offset.
    if (uint64_t{range} * 4 > uint64_t(PY_SSIZE_T_MAX))
        return PyErr_NoMemory();
    PyObject *bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(range) * 4);
    if (!bytes)
        return nullptr;
    auto *out = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(bytes));
    const uint32_t *checksums = checksum->state.checksums;
    const auto copy = [&]() noexcept {
        for (uint32_t k = 0; k < range; ++k) {
            uint32_t word = checksums[k];
            if constexpr (std::endian::native == std::endian::big)
                word = __builtin_bswap32(word);
            std::memcpy(out + 4 * std::size_t{k}, &word, sizeof word);
        }
    };
    if (range >= orvane::unlocked_minimum) {
        const orvane::InterpreterReleased released;
        copy();
    } else {
        copy();
    }
    return bytes;
}

} // extern "C"

namespace {

PyMethodDef Checksum_methods[] = {
    {"update", Checksum_update, METH_VARARGS,
     ORVANE_DOC("update($self, framelist, /)", "update(framelist)")},
    {"checksums_v1", Checksum_checksums_v1, METH_NOARGS,
     ORVANE_DOC("checksums_v1($self, /)", "checksums_v1() -> [crc, crc, ...]")},
    {"checksum_v2", Checksum_checksum_v2, METH_NOARGS,
     ORVANE_DOC("checksum_v2($self, /)", "checksum_v2() -> crc")},
    {"update_bytes", Checksum_update_bytes, METH_VARARGS,
     ORVANE_DOC("update_bytes($self, data, /)",
                "update_bytes(data) -- fold raw little-endian 16-bit stereo frames into the sums")},
    {"checksums_v1_bytes", Checksum_checksums_v1_bytes, METH_NOARGS,
     ORVANE_DOC("checksums_v1_bytes($self, /)",
                "checksums_v1_bytes() -> bytes -- checksums_v1() as little-endian 32-bit words")},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject ChecksumType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "_isotrak.Checksum",
    .tp_basicsize = sizeof(Checksum),
    .tp_itemsize = 0,
    .tp_dealloc = Checksum_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = ORVANE_DOC("Checksum(total_pcm_frames, sample_rate=44100, is_first=0, is_last=0, "
                         "pcm_frame_range=1, isotrakv2_offset=0)",
                         "Checksum objects"),
    .tp_methods = Checksum_methods,
    .tp_init = Checksum_init,
};

PyMethodDef module_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef isotrak_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_isotrak",
    .m_doc = "an Isotrak checksum calculation module",
    .m_size = -1,
    .m_methods = module_functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__isotrak(void) {
    PyRef module = PyRef::steal(PyModule_Create2(&isotrak_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    ChecksumType.tp_new = Checksum_new;
    if (PyType_Ready(&ChecksumType) < 0)
        return nullptr;
    Py_INCREF(&ChecksumType);
    if (PyModule_AddObject(module.get(), "Checksum", reinterpret_cast<PyObject *>(&ChecksumType)) <
        0) {
        Py_DECREF(&ChecksumType);
        return nullptr;
    }
    return module.release();
}
