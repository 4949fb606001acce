// What the two containers share, written once as templates over a traits
// class: FrameList and FloatFrameList are two instantiations.
//
// Traits give the object structure, the sample type, whether the container
// carries bits_per_sample, whether other threads may hold its samples (an
// exports count), its type object, how one sample becomes a Python object
// and the container's own messages.  This header holds the traits
// and the building blocks (creation, counts, equality) that the operations
// (operations.hpp), the constructors (constructors.hpp) and the exported
// entry points use.
#pragma once

#include "../common/owners.hpp"
#include "pcm.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

namespace orvane::pcm {

struct FrameListTraits {
    using Object = pcm_FrameList;
    using Sample = int32_t;
    static constexpr bool has_bits_per_sample = true;
    static constexpr bool has_exports = true;
    static PyTypeObject *type() noexcept { return &pcm_FrameListType; }
    static PyObject *to_python(Sample sample) noexcept { return PyLong_FromLong(sample); }
    static constexpr const char *concat_type_message =
        "can only concatenate FrameList with other FrameLists";
    static constexpr const char *concat_channels_message =
        "both FrameLists must have the same number of channels";
    static constexpr const char *concat_bits_message =
        "both FrameLists must have the same number of bits per sample";
    static constexpr const char *frames_type_message = "frames must be of type FrameList";
    static constexpr const char *channels_type_message = "channels must be of type FrameList";
};

struct FloatFrameListTraits {
    using Object = pcm_FloatFrameList;
    using Sample = double;
    static constexpr bool has_bits_per_sample = false;
    static constexpr bool has_exports = false;
    static PyTypeObject *type() noexcept { return &pcm_FloatFrameListType; }
    static PyObject *to_python(Sample sample) noexcept { return PyFloat_FromDouble(sample); }
    static constexpr const char *concat_type_message =
        "can only concatenate FloatFrameList with other FloatFrameLists";
    static constexpr const char *concat_channels_message =
        "both FloatFrameLists must have the same number of channels";
    static constexpr const char *concat_bits_message = nullptr;
    static constexpr const char *frames_type_message = "frames must be of type FloatFrameList";
    static constexpr const char *channels_type_message = "channels must be of type FloatFrameList";
};

// Every count of a container is 32 bits wide; a result that would need
// more is refused with this message before any array is sized.
inline constexpr const char *too_many_samples_message =
    "result would hold more than 2**32 - 1 samples";

inline constexpr uint64_t max_count = std::numeric_limits<uint32_t>::max();

// count * factor as a 32-bit count, or nothing when it does not fit.  A
// count of 0 stays 0 whatever the factor.
constexpr std::optional<uint32_t> count_product(uint32_t count, uint64_t factor) noexcept {
    if (count != 0 && factor > max_count / count)
        return std::nullopt;
    return static_cast<uint32_t>(count * factor);
}

constexpr std::optional<uint32_t> count_sum(uint32_t a, uint32_t b) noexcept {
    if (uint64_t{a} + b > max_count)
        return std::nullopt;
    return a + b;
}

inline std::nullptr_t raise_too_many_samples() noexcept {
    PyErr_SetString(PyExc_OverflowError, too_many_samples_message);
    return nullptr;
}

// The widths that the byte formats encode, and the refusal of any other.
inline constexpr const char *widths_message = "bits_per_sample must be 8, 16 or 24";

constexpr bool is_supported_width(long long bits) noexcept {
    return bits == 8 || bits == 16 || bits == 24;
}

// The shape that a result shares with its operand: channels and, for
// FrameList, bits_per_sample.
struct Shape {
    uint32_t channels = 0;
    uint32_t bits_per_sample = 0;
};

template <class Traits> Shape shape_of(const typename Traits::Object *container) noexcept {
    if constexpr (Traits::has_bits_per_sample)
        return {container->channels, container->bits_per_sample};
    else
        return {container->channels, 0};
}

template <class Traits> typename Traits::Object *as_container(PyObject *object) noexcept {
    return reinterpret_cast<typename Traits::Object *>(object);
}

template <class Traits> bool is_exact(PyObject *object) noexcept {
    return Py_TYPE(object) == Traits::type();
}

template <class Traits> std::size_t byte_size(uint32_t count) noexcept {
    return std::size_t{count} * sizeof(typename Traits::Sample);
}

// A new object of exactly the base type, created without running the
// initialiser.  Its fields are zeroed so that it can be released safely
// before its owner fills it.
template <class Traits> typename Traits::Object *allocate_blank() noexcept {
    using Object = typename Traits::Object;
    Object *container = PyObject_New(Object, Traits::type());
    if (!container)
        return nullptr;
    container->frames = 0;
    container->channels = 0;
    if constexpr (Traits::has_bits_per_sample)
        container->bits_per_sample = 0;
    container->samples = nullptr;
    container->samples_length = 0;
    if constexpr (Traits::has_exports)
        container->exports = 0;
    return container;
}

// A new container of exactly the base type that takes ownership of samples
// (which may be empty when samples_length is 0).  On failure the array is
// freed and MemoryError set.
template <class Traits>
PyRef make_container(Shape shape, uint32_t frames, PyMemArray<typename Traits::Sample> samples,
                     uint32_t samples_length) noexcept {
    auto *container = allocate_blank<Traits>();
    if (!container)
        return {};
    container->frames = frames;
    container->channels = shape.channels;
    if constexpr (Traits::has_bits_per_sample)
        container->bits_per_sample = shape.bits_per_sample;
    container->samples = samples.release();
    container->samples_length = samples_length;
    return PyRef::steal(reinterpret_cast<PyObject *>(container));
}

// A new empty container of the given shape, with no sample array.
template <class Traits> PyRef make_empty(Shape shape) noexcept {
    return make_container<Traits>(shape, 0, {}, 0);
}

// A new container holding a copy of count samples from source.
template <class Traits>
PyRef make_copy(Shape shape, uint32_t frames, const typename Traits::Sample *source,
                uint32_t count) noexcept {
    auto samples = PyMemArray<typename Traits::Sample>::allocate(count);
    if (!samples)
        return {};
    if (count)
        std::memcpy(samples.get(), source, byte_size<Traits>(count));
    return make_container<Traits>(shape, frames, std::move(samples), count);
}

template <class Traits> void dealloc(PyObject *self) noexcept {
    PyMem_Free(as_container<Traits>(self)->samples);
    Py_TYPE(self)->tp_free(self);
}

// Equal counts (bits_per_sample included where there is one) and equal
// samples byte for byte: for doubles 0.0 differs from -0.0 and a NaN equals
// the same NaN pattern.  Types are not looked at.  Empty containers are
// equal whether or not they hold an array.
template <class Traits>
bool equals(const typename Traits::Object *a, const typename Traits::Object *b) noexcept {
    if (a->frames != b->frames || a->channels != b->channels)
        return false;
    if constexpr (Traits::has_bits_per_sample)
        if (a->bits_per_sample != b->bits_per_sample)
            return false;
    if (a->samples_length != b->samples_length)
        return false;
    return a->samples_length == 0 ||
           std::memcmp(a->samples, b->samples, byte_size<Traits>(a->samples_length)) == 0;
}

// True, with BufferError set, when another thread is reading the samples
// without the interpreter lock: the container must not change.  Called in
// the container's critical section, which readers take to raise and lower
// the count.
template <class Traits> bool is_held(const typename Traits::Object *container) noexcept {
    if constexpr (Traits::has_exports) {
        if (container->exports != 0) {
            PyErr_SetString(PyExc_BufferError,
                            "the FrameList is being read by another thread and cannot change");
            return true;
        }
    }
    return false;
}

// The attribute getters read a 32-bit count as a signed int, as the
// interpreter's "i" conversion does.
inline PyObject *count_to_int(uint32_t count) noexcept {
    return PyLong_FromLong(static_cast<int32_t>(count));
}

} // namespace orvane::pcm
