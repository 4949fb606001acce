// The ten sample byte formats as one codec template, and the bulk loops
// that run a codec over a whole buffer.
//
// Pure C++ with no interpreter header, so the codecs can be used and tested
// anywhere.  A format is chosen once per buffer (select_format, then
// visit_format); the loops below are instantiated per codec, so the codec
// inlines into the loop and the per-sample work makes no choice.  The loops
// are written for the compiler's vectoriser: fixed-width loads and stores
// through memcpy and no branches but the clamp.  Source and destination
// are not declared disjoint (the exported bulk helpers take any caller's
// buffers), so the vector path is guarded by one overlap test per buffer.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace orvane::pcm {

// The per-sample pieces and the loops are forced inline: each loop is
// compiled into every instruction-set build of codec_loops.cpp, and the
// exported codecs are one-line wrappers.

// Unsigned 16- and 32-bit words in a byte order, read and written through
// memcpy (never a pointer cast), which compilers turn into one move, and
// vectorised loops into whole-register loads and stores.
template <class Word> constexpr Word swap_bytes(Word word) noexcept {
    if constexpr (sizeof(Word) == 2)
        return static_cast<Word>(word >> 8 | word << 8);
    else
        return (word >> 24) | ((word >> 8) & 0xFF00u) | ((word << 8) & 0xFF0000u) | (word << 24);
}

template <class Word, bool BigEndian>
[[gnu::always_inline]] inline Word load_word(const unsigned char *source) noexcept {
    Word word;
    std::memcpy(&word, source, sizeof word);
    return (std::endian::native == std::endian::big) == BigEndian ? word : swap_bytes(word);
}

template <class Word, bool BigEndian>
[[gnu::always_inline]] inline void store_word(Word word, unsigned char *destination) noexcept {
    if ((std::endian::native == std::endian::big) != BigEndian)
        word = swap_bytes(word);
    std::memcpy(destination, &word, sizeof word);
}

// Width in bits, two's complement or offset by half the range, byte order.
template <int Bits, bool Signed, bool BigEndian> struct Codec {
    static_assert(Bits == 8 || Bits == 16 || Bits == 24);
    static constexpr int bits = Bits;
    static constexpr std::size_t bytes = Bits / 8;
    static constexpr bool big_endian = BigEndian;
    static constexpr int32_t half = int32_t{1} << (Bits - 1);
    static constexpr int32_t min = -half;
    static constexpr int32_t max = half - 1;

    // Byte i of a sample holds bits shift(i) .. shift(i) + 7 of its pattern.
    static constexpr int shift(std::size_t i) noexcept {
        return static_cast<int>(8 * (BigEndian ? bytes - 1 - i : i));
    }

    // The value of a sample's bit pattern; bits above the width are ignored.
    [[gnu::always_inline]] static int32_t from_pattern(uint32_t pattern) noexcept {
        if constexpr (Signed) {
            // Move the sign bit to bit 31, then shift back arithmetically.
            return static_cast<int32_t>(pattern << (32 - Bits)) >> (32 - Bits);
        } else {
            constexpr uint32_t mask = (uint32_t{1} << Bits) - 1;
            return static_cast<int32_t>(pattern & mask) - half;
        }
    }

    // The bit pattern of a value; only its low Bits are stored.
    [[gnu::always_inline]] static uint32_t to_pattern(int32_t value) noexcept {
        if constexpr (Signed)
            return static_cast<uint32_t>(std::clamp(value, min, max));
        else // add the offset modulo 2^32
            return static_cast<uint32_t>(value) + static_cast<uint32_t>(half);
    }

    [[gnu::always_inline]] static int32_t decode(const unsigned char *source) noexcept {
        if constexpr (bytes == 2)
            return from_pattern(load_word<uint16_t, BigEndian>(source));
        uint32_t pattern = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            pattern |= uint32_t{source[i]} << shift(i);
        return from_pattern(pattern);
    }

    [[gnu::always_inline]] static void encode(int32_t value, unsigned char *destination) noexcept {
        const uint32_t pattern = to_pattern(value);
        if constexpr (bytes == 2) {
            store_word<uint16_t, BigEndian>(static_cast<uint16_t>(pattern), destination);
            return;
        }
        for (std::size_t i = 0; i < bytes; ++i)
            destination[i] = static_cast<unsigned char>(pattern >> shift(i));
    }
};

// The ten formats, in the order of the selector table.
enum class Format { U8, S8, UL16, SL16, UB16, SB16, UL24, SL24, UB24, SB24 };
inline constexpr std::size_t format_count = 10;

// The format for a width and two flags; none for widths other than 8, 16
// and 24.  Byte order does not matter at 8 bits.
constexpr std::optional<Format> select_format(long long bits, bool big_endian,
                                              bool is_signed) noexcept {
    switch (bits) {
    case 8:
        return is_signed ? Format::S8 : Format::U8;
    case 16:
        return big_endian ? (is_signed ? Format::SB16 : Format::UB16)
                          : (is_signed ? Format::SL16 : Format::UL16);
    case 24:
        return big_endian ? (is_signed ? Format::SB24 : Format::UB24)
                          : (is_signed ? Format::SL24 : Format::UL24);
    default:
        return std::nullopt;
    }
}

// Calls visitor with a value of the codec type of format, so the visitor's
// body is instantiated once per format.
template <class Visitor> decltype(auto) visit_format(Format format, Visitor &&visitor) {
    switch (format) {
    case Format::U8:
        return visitor(Codec<8, false, false>{});
    case Format::S8:
        return visitor(Codec<8, true, false>{});
    case Format::UL16:
        return visitor(Codec<16, false, false>{});
    case Format::SL16:
        return visitor(Codec<16, true, false>{});
    case Format::UB16:
        return visitor(Codec<16, false, true>{});
    case Format::SB16:
        return visitor(Codec<16, true, true>{});
    case Format::UL24:
        return visitor(Codec<24, false, false>{});
    case Format::SL24:
        return visitor(Codec<24, true, false>{});
    case Format::UB24:
        return visitor(Codec<24, false, true>{});
    case Format::SB24:
    default:
        return visitor(Codec<24, true, true>{});
    }
}

// Four 3-byte samples fill three whole words exactly.  The loops below
// move them as words, which needs a third of the loads and stores of
// byte-by-byte access; the last count % 4 samples go one by one.
inline constexpr std::size_t samples_per_group = 4;

template <class Codec>
[[gnu::always_inline]] inline void decode_groups(int32_t *samples, const unsigned char *data,
                                                 std::size_t groups) noexcept {
    constexpr bool big = Codec::big_endian;
    for (std::size_t g = 0; g < groups; ++g) {
        const unsigned char *source = data + 12 * g;
        const uint32_t w0 = load_word<uint32_t, big>(source);
        const uint32_t w1 = load_word<uint32_t, big>(source + 4);
        const uint32_t w2 = load_word<uint32_t, big>(source + 8);
        int32_t *out = samples + samples_per_group * g;
        if constexpr (big) {
            out[0] = Codec::from_pattern(w0 >> 8);
            out[1] = Codec::from_pattern(w0 << 16 | w1 >> 16);
            out[2] = Codec::from_pattern(w1 << 8 | w2 >> 24);
            out[3] = Codec::from_pattern(w2);
        } else {
            out[0] = Codec::from_pattern(w0);
            out[1] = Codec::from_pattern(w0 >> 24 | w1 << 8);
            out[2] = Codec::from_pattern(w1 >> 16 | w2 << 16);
            out[3] = Codec::from_pattern(w2 >> 8);
        }
    }
}

template <class Codec>
[[gnu::always_inline]] inline void encode_groups(unsigned char *data, const int32_t *samples,
                                                 std::size_t groups) noexcept {
    constexpr bool big = Codec::big_endian;
    constexpr uint32_t low24 = 0xFFFFFF;
    for (std::size_t g = 0; g < groups; ++g) {
        const int32_t *in = samples + samples_per_group * g;
        const uint32_t p0 = Codec::to_pattern(in[0]) & low24;
        const uint32_t p1 = Codec::to_pattern(in[1]) & low24;
        const uint32_t p2 = Codec::to_pattern(in[2]) & low24;
        const uint32_t p3 = Codec::to_pattern(in[3]) & low24;
        unsigned char *destination = data + 12 * g;
        if constexpr (big) {
            store_word<uint32_t, big>(p0 << 8 | p1 >> 16, destination);
            store_word<uint32_t, big>(p1 << 16 | p2 >> 8, destination + 4);
            store_word<uint32_t, big>(p2 << 24 | p3, destination + 8);
        } else {
            store_word<uint32_t, big>(p0 | p1 << 24, destination);
            store_word<uint32_t, big>(p1 >> 8 | p2 << 16, destination + 4);
            store_word<uint32_t, big>(p2 >> 16 | p3 << 8, destination + 8);
        }
    }
}

template <class Codec>
[[gnu::always_inline]] inline void decode_samples(int32_t *samples, const unsigned char *data,
                                                  std::size_t count) noexcept {
    std::size_t done = 0;
    if constexpr (Codec::bytes == 3) {
        done = count - count % samples_per_group;
        decode_groups<Codec>(samples, data, done / samples_per_group);
    }
    for (std::size_t i = done; i < count; ++i)
        samples[i] = Codec::decode(data + i * Codec::bytes);
}

template <class Codec>
[[gnu::always_inline]] inline void encode_samples(unsigned char *data, const int32_t *samples,
                                                  std::size_t count) noexcept {
    std::size_t done = 0;
    if constexpr (Codec::bytes == 3) {
        done = count - count % samples_per_group;
        encode_groups<Codec>(data, samples, done / samples_per_group);
    }
    for (std::size_t i = done; i < count; ++i)
        Codec::encode(samples[i], data + i * Codec::bytes);
}

// Whole-buffer conversions for a format chosen at run time (codec_loops.cpp:
// one choice per buffer, of the format and of the instruction set).
void decode_buffer(Format format, int32_t *samples, const unsigned char *data,
                   std::size_t count) noexcept;
void encode_buffer(Format format, unsigned char *data, const int32_t *samples,
                   std::size_t count) noexcept;

inline constexpr std::size_t bytes_per_sample(Format format) noexcept {
    return format <= Format::S8 ? 1 : format <= Format::SB16 ? 2 : 3;
}

} // namespace orvane::pcm
