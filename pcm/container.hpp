// What the two containers share, written once as templates over a traits
// class: FrameList and FloatFrameList are two instantiations.
//
// Traits give the object structure, the sample type, whether the container
// carries bits_per_sample, its type object and its messages.  The exported
// C entry points in framelist.cpp and floatframelist.cpp are thin wrappers.
#pragma once

#include "../common/owners.hpp"
#include "pcm.h"

#include <cstdint>
#include <cstring>

namespace orvane::pcm {

struct FrameListTraits {
    using Object = pcm_FrameList;
    using Sample = int32_t;
    static constexpr bool has_bits_per_sample = true;
    static PyTypeObject *type() noexcept { return &pcm_FrameListType; }
};

struct FloatFrameListTraits {
    using Object = pcm_FloatFrameList;
    using Sample = double;
    static constexpr bool has_bits_per_sample = false;
    static PyTypeObject *type() noexcept { return &pcm_FloatFrameListType; }
};

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

// A new container of exactly the base type, created without running the
// initialiser, that takes ownership of samples (which may be empty when
// samples_length is 0).  On failure the array is freed and MemoryError set.
template <class Traits>
PyRef make_container(Shape shape, uint32_t frames, PyMemArray<typename Traits::Sample> samples,
                     uint32_t samples_length) noexcept {
    using Object = typename Traits::Object;
    Object *container = PyObject_New(Object, Traits::type());
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
        std::memcpy(samples.get(), source, std::size_t(count) * sizeof(typename Traits::Sample));
    return make_container<Traits>(shape, frames, std::move(samples), count);
}

template <class Traits> void dealloc(PyObject *self) noexcept {
    PyMem_Free(as_container<Traits>(self)->samples);
    Py_TYPE(self)->tp_free(self);
}

// The attribute getters read a 32-bit count as a signed int, as the
// interpreter's "i" conversion does.
inline PyObject *count_to_int(uint32_t count) noexcept {
    return PyLong_FromLong(static_cast<int32_t>(count));
}

} // namespace orvane::pcm
