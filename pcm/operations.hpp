// The container operations that Python code reaches through methods and
// protocol slots: frame, channel, split, length, item, +, *, +=, *= and the
// rich comparison, each written once over the container's traits.
//
// Operands other than the left one must be exactly of the base type, and
// every result is a new object of exactly the base type, so a subclass never
// leaks into a result.  Whole runs of samples move with block copies; only
// "channel" walks with a stride.  A failing operation leaves its operands
// as they were: counts are checked and arrays sized before anything changes.
// += and *= refuse a container that another thread is reading (is_held).
#pragma once

#include "../common/threads.hpp"
#include "container.hpp"

#include <algorithm>

namespace orvane::pcm {

template <class Traits> PyObject *frame(PyObject *self, PyObject *args) noexcept {
    int index;
    if (!PyArg_ParseTuple(args, "i", &index))
        return nullptr;
    const auto *container = as_container<Traits>(self);
    if (index < 0 || uint32_t(index) >= container->frames) {
        PyErr_SetString(PyExc_IndexError, "frame number out of range");
        return nullptr;
    }
    const uint32_t channels = container->channels;
    return make_copy<Traits>(shape_of<Traits>(container), 1,
                             container->samples + std::size_t(index) * channels, channels)
        .release();
}

template <class Traits> PyObject *channel(PyObject *self, PyObject *args) noexcept {
    int index;
    if (!PyArg_ParseTuple(args, "i", &index))
        return nullptr;
    const auto *container = as_container<Traits>(self);
    if (index < 0 || uint32_t(index) >= container->channels) {
        PyErr_SetString(PyExc_IndexError, "channel number out of range");
        return nullptr;
    }
    const uint32_t frames = container->frames;
    auto samples = PyMemArray<typename Traits::Sample>::allocate(frames);
    if (!samples)
        return nullptr;
    const std::size_t stride = container->channels;
    const auto *source = container->samples + index;
    auto *destination = samples.get();
    for (std::size_t k = 0; k < frames; ++k)
        destination[k] = source[k * stride];
    Shape shape = shape_of<Traits>(container);
    shape.channels = 1;
    return make_container<Traits>(shape, frames, std::move(samples), frames).release();
}

// At its edges split hands back the operand itself as one half.
template <class Traits> PyObject *split(PyObject *self, PyObject *args) noexcept {
    int index;
    if (!PyArg_ParseTuple(args, "i", &index))
        return nullptr;
    const auto *container = as_container<Traits>(self);
    if (index < 0) {
        PyErr_SetString(PyExc_IndexError, "split point must be >= 0");
        return nullptr;
    }
    const Shape shape = shape_of<Traits>(container);
    PyRef head, tail;
    if (uint32_t(index) >= container->frames) {
        head = PyRef::borrow(self);
        tail = make_empty<Traits>(shape);
    } else if (index == 0) {
        head = make_empty<Traits>(shape);
        tail = PyRef::borrow(self);
    } else {
        const uint32_t head_length = uint32_t(index) * shape.channels;
        head = make_copy<Traits>(shape, uint32_t(index), container->samples, head_length);
        if (!head)
            return nullptr;
        tail = make_copy<Traits>(shape, container->frames - uint32_t(index),
                                 container->samples + head_length,
                                 container->samples_length - head_length);
    }
    if (!head || !tail)
        return nullptr;
    return Py_BuildValue("(O,O)", head.get(), tail.get());
}

template <class Traits> Py_ssize_t length(PyObject *self) noexcept {
    return as_container<Traits>(self)->samples_length;
}

// The interpreter has already added the length to a negative index.
template <class Traits> PyObject *get_item(PyObject *self, Py_ssize_t index) noexcept {
    const auto *container = as_container<Traits>(self);
    if (index < 0 || index >= Py_ssize_t{container->samples_length}) {
        PyErr_SetString(PyExc_IndexError, "index out of range");
        return nullptr;
    }
    return Traits::to_python(container->samples[index]);
}

// The checks shared by + and +=, in their order; the left operand's type is
// not tested because the interpreter calls the slot only with one of ours.
template <class Traits> bool can_concatenate(PyObject *left, PyObject *right) noexcept {
    if (!is_exact<Traits>(right)) {
        PyErr_SetString(PyExc_TypeError, Traits::concat_type_message);
        return false;
    }
    const auto *a = as_container<Traits>(left);
    const auto *b = as_container<Traits>(right);
    if (a->channels != b->channels) {
        PyErr_SetString(PyExc_ValueError, Traits::concat_channels_message);
        return false;
    }
    if constexpr (Traits::has_bits_per_sample) {
        if (a->bits_per_sample != b->bits_per_sample) {
            PyErr_SetString(PyExc_ValueError, Traits::concat_bits_message);
            return false;
        }
    }
    return true;
}

template <class Traits> PyObject *concat(PyObject *left, PyObject *right) noexcept {
    if (!can_concatenate<Traits>(left, right))
        return nullptr;
    const auto *a = as_container<Traits>(left);
    const auto *b = as_container<Traits>(right);
    const auto frames = count_sum(a->frames, b->frames);
    const auto total = count_sum(a->samples_length, b->samples_length);
    if (!frames || !total)
        return raise_too_many_samples();
    auto samples = PyMemArray<typename Traits::Sample>::allocate(*total);
    if (!samples)
        return nullptr;
    if (a->samples_length)
        std::memcpy(samples.get(), a->samples, byte_size<Traits>(a->samples_length));
    if (b->samples_length)
        std::memcpy(samples.get() + a->samples_length, b->samples,
                    byte_size<Traits>(b->samples_length));
    return make_container<Traits>(shape_of<Traits>(a), *frames, std::move(samples), *total)
        .release();
}

// Fills blocks 1 .. count - 1 of samples with copies of block 0 (block
// entries each), doubling the copied run each time: a few large block
// copies rather than count small ones.
template <class Sample>
void repeat_first_block(Sample *samples, std::size_t block, std::size_t count) noexcept {
    const std::size_t total = block * count;
    for (std::size_t filled = block; filled < total;) {
        const std::size_t run = std::min(filled, total - filled);
        std::memcpy(samples + filled, samples, run * sizeof(Sample));
        filled += run;
    }
}

template <class Traits> PyObject *repeat(PyObject *self, Py_ssize_t count) noexcept {
    const auto *container = as_container<Traits>(self);
    const Shape shape = shape_of<Traits>(container);
    if (count <= 0)
        return make_empty<Traits>(shape).release();
    const auto frames = count_product(container->frames, uint64_t(count));
    const auto total = count_product(container->samples_length, uint64_t(count));
    if (!frames || !total)
        return raise_too_many_samples();
    auto samples = PyMemArray<typename Traits::Sample>::allocate(*total);
    if (!samples)
        return nullptr;
    if (*total) {
        std::memcpy(samples.get(), container->samples,
                    byte_size<Traits>(container->samples_length));
        repeat_first_block(samples.get(), container->samples_length, std::size_t(count));
    }
    return make_container<Traits>(shape, *frames, std::move(samples), *total).release();
}

// x += y where y may be x itself: y's counts are read before x changes, and
// its array after the resize, which is then x's own new array.  Both are
// looked at, and x changed, in one critical section.
template <class Traits> PyObject *inplace_concat(PyObject *left, PyObject *right) noexcept {
    return in_critical_section(left, right, [&]() noexcept -> PyObject * {
        if (!can_concatenate<Traits>(left, right))
            return nullptr;
        auto *a = as_container<Traits>(left);
        const auto *b = as_container<Traits>(right);
        if (is_held<Traits>(a))
            return nullptr;
        const uint32_t old_length = a->samples_length;
        const uint32_t added_length = b->samples_length;
        const uint32_t added_frames = b->frames;
        const auto frames = count_sum(a->frames, added_frames);
        const auto total = count_sum(old_length, added_length);
        if (!frames || !total)
            return raise_too_many_samples();
        if (added_length) {
            if (!PyMemArray<typename Traits::Sample>::resize(a->samples, *total))
                return nullptr;
            std::memcpy(a->samples + old_length, b->samples, byte_size<Traits>(added_length));
        }
        a->frames = *frames;
        a->samples_length = *total;
        return Py_NewRef(left);
    });
}

// x *= n: n <= 0 empties x (its shape stays), n == 1 keeps the array.
template <class Traits> PyObject *inplace_repeat(PyObject *self, Py_ssize_t count) noexcept {
    return in_critical_section(self, [&]() noexcept -> PyObject * {
        auto *container = as_container<Traits>(self);
        if (is_held<Traits>(container))
            return nullptr;
        if (count <= 0) {
            PyMem_Free(container->samples);
            container->samples = nullptr;
            container->frames = 0;
            container->samples_length = 0;
        } else if (count > 1) {
            const auto frames = count_product(container->frames, uint64_t(count));
            const auto total = count_product(container->samples_length, uint64_t(count));
            if (!frames || !total)
                return raise_too_many_samples();
            if (*total) {
                if (!PyMemArray<typename Traits::Sample>::resize(container->samples, *total))
                    return nullptr;
                repeat_first_block(container->samples, container->samples_length,
                                   std::size_t(count));
            }
            container->frames = *frames;
            container->samples_length = *total;
        }
        return Py_NewRef(self);
    });
}

// Only == and != compare, and only containers of exactly the base type can
// be equal; the slot never defers to the other operand.
template <class Traits> PyObject *richcompare(PyObject *left, PyObject *right, int op) noexcept {
    if (op != Py_EQ && op != Py_NE) {
        PyErr_SetString(PyExc_TypeError, "unsupported comparison");
        return nullptr;
    }
    const bool equal = is_exact<Traits>(left) && is_exact<Traits>(right) &&
                       equals<Traits>(as_container<Traits>(left), as_container<Traits>(right));
    return PyBool_FromLong(equal == (op == Py_EQ));
}

} // namespace orvane::pcm
