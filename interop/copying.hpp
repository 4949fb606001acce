// Moving samples between buffers and container arrays: what a buffer's
// items are, an owner for a buffer export, and the copy loops.
//
// The loops are templates over the item type, chosen once per buffer, and
// load items with memcpy, so a buffer of any alignment is read correctly.
// Narrower items are widened in the same pass that copies them.
#pragma once

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

namespace orvane::interop {

// The item types a buffer may hold.  Integers fill a FrameList and floats a
// FloatFrameList; only int32 and float64 are the containers' own types,
// the narrower ones are widened in the same pass that copies them.
enum class Item { unsupported, int8, int16, int32, float32, float64 };

// Reads the buffer's struct-module format: one item code, with at most a
// byte-order prefix that must mean the machine's own order.
inline Item item_of(const Py_buffer &view) noexcept {
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

inline bool is_integer(Item item) noexcept {
    return item == Item::int8 || item == Item::int16 || item == Item::int32;
}

inline bool is_floating(Item item) noexcept {
    return item == Item::float32 || item == Item::float64;
}

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

} // namespace orvane::interop
