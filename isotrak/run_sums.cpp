// The run loops of the checksum: plain sums over local accumulators that the
// compiler turns into vector code (32-bit products for the version 1 sums,
// widening 32 x 32 -> 64-bit products for version 2).
//
// On x86-64 the loop is also built for AVX2, picked at run time by the CPU
// it runs on; the baseline build stays portable.  Frame numbers never wrap
// inside a run (they stay below T + R).
#include "run_sums.hpp"

#include "../common/vector_clones.hpp"
#include "accumulator.hpp"

namespace orvane::isotrak {
namespace {

// Frames per chunk, and how far ahead of the chunk being summed its memory
// is requested: the loop is light enough that, left to the hardware
// prefetcher alone, it waits on memory for a good part of its time.
constexpr std::size_t chunk_frames = 256;
constexpr std::size_t prefetch_frames = 512;
constexpr std::size_t cache_line = 64;

template <class Frames> constexpr std::size_t bytes_per_frame = 0;
template <> constexpr std::size_t bytes_per_frame<SampleFrames> = 2 * sizeof(int32_t);
template <> constexpr std::size_t bytes_per_frame<ByteFrames> = 4;

// The high halves are summed in 64 bits: the low 32 bits of that sum are
// the sum modulo 2^32, and the wide accumulator spares the vector loop
// packing each product's high half back into 32-bit lanes.
struct ChunkSums {
    uint32_t weighted = 0;
    uint32_t values = 0;
    uint64_t high = 0;
};

template <class Frames>
[[gnu::always_inline]] inline ChunkSums sum_chunk(Frames frames, std::size_t count, uint32_t index,
                                                  uint32_t counter) noexcept {
    ChunkSums sums;
    for (std::size_t j = 0; j < count; ++j) {
        const uint32_t value = frames.value(j);
        sums.weighted += index * value;
        sums.values += value;
        sums.high += (uint64_t{counter} * value) >> 32;
        ++index;
        ++counter;
    }
    return sums;
}

template <class Frames>
[[gnu::always_inline]] inline void prefetch(Frames frames, std::size_t count) noexcept {
    const auto *bytes = static_cast<const char *>(frames.address());
    for (std::size_t line = 0; line < count * bytes_per_frame<Frames>; line += cache_line)
        __builtin_prefetch(bytes + line);
}

template <class Frames>
[[gnu::always_inline]] inline RunSums sum_run(Frames frames, std::size_t count, uint32_t index,
                                              uint32_t counter) noexcept {
    uint32_t weighted = 0, values = 0;
    uint64_t high = 0;
    for (std::size_t at = 0; at < count; at += chunk_frames) {
        const std::size_t length = count - at < chunk_frames ? count - at : chunk_frames;
        if (at + prefetch_frames + chunk_frames <= count)
            prefetch(frames.advanced(at + prefetch_frames), chunk_frames);
        const ChunkSums sums =
            sum_chunk(frames.advanced(at), length, index + uint32_t(at), counter + uint32_t(at));
        weighted += sums.weighted;
        values += sums.values;
        high += sums.high;
    }
    return {weighted, values, uint32_t(high)};
}

ORVANE_AVX2 RunSums sum_run_avx2(SampleFrames frames, std::size_t count, uint32_t index,
                                 uint32_t counter) noexcept {
    return sum_run(frames, count, index, counter);
}

ORVANE_AVX2 RunSums sum_run_avx2(ByteFrames frames, std::size_t count, uint32_t index,
                                 uint32_t counter) noexcept {
    return sum_run(frames, count, index, counter);
}

} // namespace

RunSums sum_window_run(SampleFrames frames, std::size_t count, uint32_t index,
                       uint32_t counter) noexcept {
    return cpu_has_avx2() ? sum_run_avx2(frames, count, index, counter)
                          : sum_run(frames, count, index, counter);
}

RunSums sum_window_run(ByteFrames frames, std::size_t count, uint32_t index,
                       uint32_t counter) noexcept {
    return cpu_has_avx2() ? sum_run_avx2(frames, count, index, counter)
                          : sum_run(frames, count, index, counter);
}

} // namespace orvane::isotrak
