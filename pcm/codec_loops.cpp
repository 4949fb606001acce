// The whole-buffer codec loops, built for the baseline instruction set and,
// on x86-64, once more for AVX2, with the choice made once per buffer.
//
// The loops are memory-bound on large buffers, but on cache-resident blocks
// the AVX2 build clamps, packs and widens 8 samples per instruction instead
// of 4 (and SSE2 has no signed 32-bit min/max, so its clamp takes four
// instructions), which makes encoding about three times quicker there.  The
// package never assumes AVX2: the processor is asked at run time, and the
// baseline build serves every other machine.
#include "codecs.hpp"
#include "vector_clones.hpp"

namespace orvane::pcm {
namespace {

// The same template bodies, inlined into functions compiled for AVX2.
template <class Codec>
ORVANE_AVX2 void decode_avx2(int32_t *samples, const unsigned char *data,
                             std::size_t count) noexcept {
    decode_samples<Codec>(samples, data, count);
}

template <class Codec>
ORVANE_AVX2 void encode_avx2(unsigned char *data, const int32_t *samples,
                             std::size_t count) noexcept {
    encode_samples<Codec>(data, samples, count);
}

} // namespace

void decode_buffer(Format format, int32_t *samples, const unsigned char *data,
                   std::size_t count) noexcept {
    visit_format(format, [&](auto codec) {
        using Codec = decltype(codec);
        if (cpu_has_avx2())
            return decode_avx2<Codec>(samples, data, count);
        decode_samples<Codec>(samples, data, count);
    });
}

void encode_buffer(Format format, unsigned char *data, const int32_t *samples,
                   std::size_t count) noexcept {
    visit_format(format, [&](auto codec) {
        using Codec = decltype(codec);
        if (cpu_has_avx2())
            return encode_avx2<Codec>(data, samples, count);
        encode_samples<Codec>(data, samples, count);
    });
}

} // namespace orvane::pcm
