// Sums over a run of stereo frames whose window tests do not change: the
// bulk of a track, where every frame is inside the counted windows of
// offset 0 and of version 2.  Built for speed (see run_sums.cpp);
// the rules they follow are the per-frame rules of accumulator.cpp.
#pragma once

#include "accumulator.hpp"

#include <cstddef>
#include <cstdint>

namespace orvane::isotrak {

// Modulo 2^32, over the frames j = 0 .. count - 1 of a run whose first
// frame has the number index and the version 2 counter counter:
// weighted = sum of (index + j) * v_j, values = sum of v_j, and
// high = sum of the high halves of the 64-bit products (counter + j) * v_j.
struct RunSums {
    uint32_t weighted;
    uint32_t values;
    uint32_t high;
};

RunSums sum_window_run(SampleFrames frames, std::size_t count, uint32_t index,
                       uint32_t counter) noexcept;
RunSums sum_window_run(ByteFrames frames, std::size_t count, uint32_t index,
                       uint32_t counter) noexcept;

} // namespace orvane::isotrak
