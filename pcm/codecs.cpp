// The twenty exported codecs, the two selectors and the two bulk helpers.
//
// Each codec is a one-line wrapper around the codec template, so other
// native code can decode and encode with exactly the rules the containers
// use.  The bulk helpers recognise these codecs and run the inlined loop;
// only a foreign codec pointer is called sample by sample.
#include "codecs.hpp"

#include <array>

#include "pcm.h"

namespace {
using namespace orvane::pcm;
using U8 = Codec<8, false, false>;
using S8 = Codec<8, true, false>;
using UL16 = Codec<16, false, false>;
using SL16 = Codec<16, true, false>;
using UB16 = Codec<16, false, true>;
using SB16 = Codec<16, true, true>;
using UL24 = Codec<24, false, false>;
using SL24 = Codec<24, true, false>;
using UB24 = Codec<24, false, true>;
using SB24 = Codec<24, true, true>;
} // namespace

extern "C" {
int32_t FrameList_U8_char_to_int(const unsigned char *s) { return U8::decode(s); }
int32_t FrameList_S8_char_to_int(const unsigned char *s) { return S8::decode(s); }
int32_t FrameList_UL16_char_to_int(const unsigned char *s) { return UL16::decode(s); }
int32_t FrameList_SL16_char_to_int(const unsigned char *s) { return SL16::decode(s); }
int32_t FrameList_UB16_char_to_int(const unsigned char *s) { return UB16::decode(s); }
int32_t FrameList_SB16_char_to_int(const unsigned char *s) { return SB16::decode(s); }
int32_t FrameList_UL24_char_to_int(const unsigned char *s) { return UL24::decode(s); }
int32_t FrameList_SL24_char_to_int(const unsigned char *s) { return SL24::decode(s); }
int32_t FrameList_UB24_char_to_int(const unsigned char *s) { return UB24::decode(s); }
int32_t FrameList_SB24_char_to_int(const unsigned char *s) { return SB24::decode(s); }

void FrameList_int_to_U8_char(int32_t i, unsigned char *s) { U8::encode(i, s); }
void FrameList_int_to_S8_char(int32_t i, unsigned char *s) { S8::encode(i, s); }
void FrameList_int_to_UL16_char(int32_t i, unsigned char *s) { UL16::encode(i, s); }
void FrameList_int_to_SL16_char(int32_t i, unsigned char *s) { SL16::encode(i, s); }
void FrameList_int_to_UB16_char(int32_t i, unsigned char *s) { UB16::encode(i, s); }
void FrameList_int_to_SB16_char(int32_t i, unsigned char *s) { SB16::encode(i, s); }
void FrameList_int_to_UL24_char(int32_t i, unsigned char *s) { UL24::encode(i, s); }
void FrameList_int_to_SL24_char(int32_t i, unsigned char *s) { SL24::encode(i, s); }
void FrameList_int_to_UB24_char(int32_t i, unsigned char *s) { UB24::encode(i, s); }
void FrameList_int_to_SB24_char(int32_t i, unsigned char *s) { SB24::encode(i, s); }
}

namespace {
// Indexed by Format, so the selectors hand out the named exported codecs.
constexpr std::array<FrameList_char_to_int_converter, format_count> decoders = {
    FrameList_U8_char_to_int,   FrameList_S8_char_to_int,   FrameList_UL16_char_to_int,
    FrameList_SL16_char_to_int, FrameList_UB16_char_to_int, FrameList_SB16_char_to_int,
    FrameList_UL24_char_to_int, FrameList_SL24_char_to_int, FrameList_UB24_char_to_int,
    FrameList_SB24_char_to_int};
constexpr std::array<FrameList_int_to_char_converter, format_count> encoders = {
    FrameList_int_to_U8_char,   FrameList_int_to_S8_char,   FrameList_int_to_UL16_char,
    FrameList_int_to_SL16_char, FrameList_int_to_UB16_char, FrameList_int_to_SB16_char,
    FrameList_int_to_UL24_char, FrameList_int_to_SL24_char, FrameList_int_to_UB24_char,
    FrameList_int_to_SB24_char};

// The format whose codec is `codec`, if it is one of ours and its width
// agrees with the caller's step.
template <class Function>
std::optional<Format> own_format(const std::array<Function, format_count> &table, Function codec,
                                 int bits_per_sample) {
    for (std::size_t i = 0; i < format_count; ++i) {
        const auto format = static_cast<Format>(i);
        if (table[i] == codec && bytes_per_sample(format) * 8 == std::size_t(bits_per_sample))
            return format;
    }
    return std::nullopt;
}
} // namespace

extern "C" {
FrameList_char_to_int_converter
FrameList_get_char_to_int_converter(int bits_per_sample, int is_big_endian, int is_signed) {
    const auto format = select_format(bits_per_sample, is_big_endian != 0, is_signed != 0);
    return format ? decoders[std::size_t(*format)] : nullptr;
}

FrameList_int_to_char_converter
FrameList_get_int_to_char_converter(int bits_per_sample, int is_big_endian, int is_signed) {
    const auto format = select_format(bits_per_sample, is_big_endian != 0, is_signed != 0);
    return format ? encoders[std::size_t(*format)] : nullptr;
}

void FrameList_char_to_samples(int32_t *samples, const unsigned char *data,
                               FrameList_char_to_int_converter decoder, uint32_t count,
                               int bits_per_sample) {
    if (const auto format = own_format(decoders, decoder, bits_per_sample)) {
        decode_buffer(*format, samples, data, count);
        return;
    }
    const std::ptrdiff_t step = bits_per_sample / 8;
    for (uint32_t i = 0; i < count; ++i)
        samples[i] = decoder(data + std::ptrdiff_t(i) * step);
}

void FrameList_samples_to_char(unsigned char *data, const int32_t *samples,
                               FrameList_int_to_char_converter encoder, uint32_t count,
                               int bits_per_sample) {
    if (const auto format = own_format(encoders, encoder, bits_per_sample)) {
        encode_buffer(*format, data, samples, count);
        return;
    }
    const std::ptrdiff_t step = bits_per_sample / 8;
    for (uint32_t i = 0; i < count; ++i)
        encoder(samples[i], data + std::ptrdiff_t(i) * step);
}
}
