// The constructors that both containers share: an empty container of a
// given shape, and joining a sequence of single frames or single channels.
//
// The sequence's length is taken once and items are fetched one at a time
// by index, so a sequence that shrinks meanwhile makes a fetch fail.  Item 0
// sets the shape of the result and every later item is held to it.  The
// result's array is sized once, after the counts are known to fit in 32
// bits, and an item is released as soon as it has been copied or refused.
#pragma once

#include "container.hpp"

namespace orvane::pcm {

// empty_framelist(channels, bits_per_sample) / empty_float_framelist(channels)
template <class Traits> PyObject *empty(PyObject *args) noexcept {
    int channels, bits_per_sample = 0;
    if constexpr (Traits::has_bits_per_sample) {
        if (!PyArg_ParseTuple(args, "ii", &channels, &bits_per_sample))
            return nullptr;
    } else {
        if (!PyArg_ParseTuple(args, "i", &channels))
            return nullptr;
    }
    if (channels <= 0) {
        PyErr_SetString(PyExc_ValueError, "channels must be > 0");
        return nullptr;
    }
    if constexpr (Traits::has_bits_per_sample) {
        if (!is_supported_width(bits_per_sample)) {
            PyErr_SetString(PyExc_ValueError, widths_message);
            return nullptr;
        }
    }
    return make_empty<Traits>({uint32_t(channels), uint32_t(bits_per_sample)}).release();
}

// Joining single frames stacks them; joining single channels interleaves
// them.  A part is one item: a frame of `channels` samples, or a channel
// of `frames` samples.
enum class JoinAxis { frames, channels };

template <JoinAxis axis> struct JoinRules;

template <> struct JoinRules<JoinAxis::frames> {
    static constexpr const char *size_message = "all subframes must be 1 frame long";
    static constexpr const char *part_message =
        "all subframes must have the same number of channels";
    static constexpr const char *bits_message =
        "all subframes must have the same number of bits per sample";
    template <class Traits> static const char *type_message() noexcept {
        return Traits::frames_type_message;
    }
    template <class Object> static bool is_single(const Object *item) noexcept {
        return item->frames == 1;
    }
    template <class Object> static uint32_t part_length(const Object *item) noexcept {
        return item->channels;
    }
    // Frame `index` of the result: one block copy.
    template <class Sample>
    static void place(Sample *result, const Sample *part, uint32_t part_length, std::size_t index,
                      std::size_t) noexcept {
        if (part_length)
            std::memcpy(result + index * part_length, part, part_length * sizeof(Sample));
    }
};

template <> struct JoinRules<JoinAxis::channels> {
    static constexpr const char *size_message = "all channels must be 1 channel wide";
    static constexpr const char *part_message = "all channels must have the same number of frames";
    static constexpr const char *bits_message =
        "all channels must have the same number of bits per sample";
    template <class Traits> static const char *type_message() noexcept {
        return Traits::channels_type_message;
    }
    template <class Object> static bool is_single(const Object *item) noexcept {
        return item->channels == 1;
    }
    template <class Object> static uint32_t part_length(const Object *item) noexcept {
        return item->frames;
    }
    // Channel `index` of the result: a walk with a stride of the item count.
    template <class Sample>
    static void place(Sample *result, const Sample *part, uint32_t part_length, std::size_t index,
                      std::size_t count) noexcept {
        Sample *destination = result + index;
        for (std::size_t j = 0; j < part_length; ++j)
            destination[j * count] = part[j];
    }
};

inline std::nullptr_t raise_error(PyObject *type, const char *message) noexcept {
    PyErr_SetString(type, message);
    return nullptr;
}

template <class Traits, JoinAxis axis> PyObject *join(PyObject *args) noexcept {
    using Rules = JoinRules<axis>;
    using Sample = typename Traits::Sample;
    PyObject *sequence;
    if (!PyArg_ParseTuple(args, "O", &sequence))
        return nullptr;
    const Py_ssize_t count = PySequence_Size(sequence);
    if (count < 0)
        return nullptr;

    PyRef item = PyRef::steal(PySequence_GetItem(sequence, 0));
    if (!item)
        return nullptr;
    if (!is_exact<Traits>(item.get()))
        return raise_error(PyExc_TypeError, Rules::template type_message<Traits>());
    const auto *first = as_container<Traits>(item.get());
    if (!Rules::is_single(first))
        return raise_error(PyExc_ValueError, Rules::size_message);
    // Only a sequence with its own length and item access can get here: it
    // reported no items yet yielded one, and there is no room for it.
    if (count == 0)
        return raise_error(PyExc_ValueError, "sequence reported a length of 0 but has an item 0");

    const uint32_t part_length = Rules::part_length(first);
    const auto total = count_product(part_length, uint64_t(count));
    if (uint64_t(count) > max_count || !total)
        return raise_too_many_samples();
    Shape shape = shape_of<Traits>(first);
    uint32_t frames = uint32_t(count);
    if constexpr (axis == JoinAxis::channels) {
        shape.channels = uint32_t(count);
        frames = part_length;
    }
    auto samples = PyMemArray<Sample>::allocate(*total);
    if (!samples)
        return nullptr;
    Rules::place(samples.get(), first->samples, part_length, 0, std::size_t(count));

    for (Py_ssize_t index = 1; index < count; ++index) {
        item = PyRef::steal(PySequence_GetItem(sequence, index));
        if (!item)
            return nullptr;
        if (!is_exact<Traits>(item.get()))
            return raise_error(PyExc_TypeError, Rules::template type_message<Traits>());
        const auto *next = as_container<Traits>(item.get());
        if (!Rules::is_single(next))
            return raise_error(PyExc_ValueError, Rules::size_message);
        if (Rules::part_length(next) != part_length)
            return raise_error(PyExc_ValueError, Rules::part_message);
        if constexpr (Traits::has_bits_per_sample) {
            if (next->bits_per_sample != shape.bits_per_sample)
                return raise_error(PyExc_ValueError, Rules::bits_message);
        }
        Rules::place(samples.get(), next->samples, part_length, std::size_t(index),
                     std::size_t(count));
    }
    return make_container<Traits>(shape, frames, std::move(samples), *total).release();
}

} // namespace orvane::pcm
