// The ten sample byte formats as one codec template, and the bulk loops
// that run a codec over a whole buffer.
//
// Pure C++ with no interpreter header, so the codecs can be used and tested
// anywhere.  A format is chosen once per buffer (select_format, then
// visit_format); the loops below are instantiated per codec, so the codec
// inlines into the loop and the per-sample work makes no choice.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace orvane::pcm {

// Width in bits, two's complement or offset by half the range, byte order.
template <int Bits, bool Signed, bool BigEndian> struct Codec {
    static_assert(Bits == 8 || Bits == 16 || Bits == 24);
    static constexpr int bits = Bits;
    static constexpr std::size_t bytes = Bits / 8;
    static constexpr int32_t half = int32_t{1} << (Bits - 1);
    static constexpr int32_t min = -half;
    static constexpr int32_t max = half - 1;

    // Byte i of a sample holds bits shift(i) .. shift(i) + 7 of its pattern.
    static constexpr int shift(std::size_t i) noexcept {
        return static_cast<int>(8 * (BigEndian ? bytes - 1 - i : i));
    }

    static int32_t decode(const unsigned char *source) noexcept {
        uint32_t pattern = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            pattern |= uint32_t{source[i]} << shift(i);
        if constexpr (Signed) {
            // Move the sign bit to bit 31, then shift back arithmetically.
            return static_cast<int32_t>(pattern << (32 - Bits)) >> (32 - Bits);
        } else {
            return static_cast<int32_t>(pattern) - half;
        }
    }

    static void encode(int32_t value, unsigned char *destination) noexcept {
        uint32_t pattern;
        if constexpr (Signed)
            pattern = static_cast<uint32_t>(std::clamp(value, min, max));
        else // add the offset modulo 2^32; only the low Bits are stored
            pattern = static_cast<uint32_t>(value) + static_cast<uint32_t>(half);
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

template <class Codec>
void decode_samples(int32_t *samples, const unsigned char *data, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = Codec::decode(data + i * Codec::bytes);
}

template <class Codec>
void encode_samples(unsigned char *data, const int32_t *samples, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i)
        Codec::encode(samples[i], data + i * Codec::bytes);
}

// Whole-buffer conversions for a format chosen at run time.
inline void decode_buffer(Format format, int32_t *samples, const unsigned char *data,
                          std::size_t count) noexcept {
    visit_format(format,
                 [&](auto codec) { decode_samples<decltype(codec)>(samples, data, count); });
}

inline void encode_buffer(Format format, unsigned char *data, const int32_t *samples,
                          std::size_t count) noexcept {
    visit_format(format,
                 [&](auto codec) { encode_samples<decltype(codec)>(data, samples, count); });
}

inline constexpr std::size_t bytes_per_sample(Format format) noexcept {
    return format <= Format::S8 ? 1 : format <= Format::SB16 ? 2 : 3;
}

} // namespace orvane::pcm
