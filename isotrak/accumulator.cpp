// The per-frame rules of the checksums, the cutting of a block into runs
// over which their tests do not change, and the set-up and release of the
// state's buffers.
//
// Offset 0 is summed directly.  Each later offset k is derived from offset
// k - 1 at frame T + k, the first frame by which both the value leaving the
// window, v(S + k - 1), and the value entering it, v(E + k), have been fed:
//   checksum(k) = checksum(k - 1) + (1 - S) v(S + k - 1) + E v(E + k) - W(k - 1)
//   W(k)        = W(k - 1) + v(E + k) - v(S + k - 1)
// where W(k) is the sum of the window's values moved by k frames.  The two
// queues hold the first R - 1 values from S on and after E, which are all
// that these steps take.
//
// Only the frames that fill a queue or run a sliding step (at most
// 3 (R - 1) of them) go through the rules one by one; the rest of a track
// falls into runs that only add to the window sums of offset 0 and of
// version 2, which run_sums.cpp computes with the same results.
#include "accumulator.hpp"

#include "run_sums.hpp"

#include <cstddef>
#include <algorithm>
#include <cstdlib>
#include <limits>

namespace orvane::isotrak {
namespace {

// Sectors per second on a CD; the lead-in skip is five sectors.
constexpr int32_t sectors_per_second = 75;
constexpr int32_t skipped_sectors = 5;

ValueQueue *make_queue(uint32_t capacity) noexcept {
    auto *queue = static_cast<ValueQueue *>(std::malloc(sizeof(ValueQueue)));
    if (!queue)
        return nullptr;
    // malloc(0) may give null: keep one entry so that null means failure.
    queue->values =
        static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * (capacity ? capacity : 1)));
    if (!queue->values) {
        std::free(queue);
        return nullptr;
    }
    queue->capacity = capacity;
    queue->read_position = 0;
    queue->write_position = 0;
    return queue;
}

void free_queue(ValueQueue *queue) noexcept {
    if (queue) {
        std::free(queue->values);
        std::free(queue);
    }
}

inline void push(ValueQueue &queue, uint32_t value) noexcept {
    if (queue.write_position != queue.capacity)
        queue.values[queue.write_position++] = value;
}

// Only ever called for a value already stored: the k-th take of a sliding
// step finds the k-th value pushed, and k <= R - 1 = capacity.
inline uint32_t take(ValueQueue &queue) noexcept { return queue.values[queue.read_position++]; }

// The per-frame rules, applied one frame after another.  Used where a
// queue is being filled or a sliding step runs: at most 3 (R - 1) frames
// of a track.
template <class Frames>
void step_frames(ChecksumState &state, Frames block, uint32_t frames) noexcept {
    const uint32_t total = state.total_pcm_frames;
    const uint32_t start = state.start_frame;
    const uint32_t end = state.end_frame;
    // An empty window sums nothing: every checksum stays 0, and no sliding
    // step runs, so no queue is read beyond what was stored.
    const bool counted = start <= end;
    ValueQueue &start_values = *state.start_values;
    ValueQueue &end_values = *state.end_values;
    uint32_t *checksums = state.checksums;

    for (std::size_t j = 0; j < frames; ++j) {
        const uint32_t value = block.value(j);
        const uint32_t index = state.frame_index;
        if (counted) {
            if (start <= index && index <= end) {
                checksums[0] += index * value;
                state.values_sum += value;
            }
            if (index >= start)
                push(start_values, value);
            if (index > end)
                push(end_values, value);
            if (index > total) {
                const uint32_t k = index - total;
                const uint32_t leaving = take(start_values);
                const uint32_t entering = take(end_values);
                checksums[k] =
                    checksums[k - 1] + (1u - start) * leaving + end * entering - state.values_sum;
                state.values_sum += entering - leaving;
            }
        }
        state.frame_index = index + 1;
        if (state.v2_skip != 0) {
            --state.v2_skip;
        } else {
            const uint32_t counter = state.v2_frame;
            if (start <= counter && counter <= end)
                state.v2_high_sum += uint32_t((uint64_t{counter} * value) >> 32);
            state.v2_frame = counter + 1;
        }
    }
}

// A run of frames from frame_index over which every test of the per-frame
// rules keeps its outcome.  Outside the edges that need step_frames, a
// frame adds to both window sums (offset 0 and version 2) or to neither.
struct Run {
    uint64_t length;
    bool stepwise;
    bool summed;
};

Run next_run(const ChecksumState &state) noexcept {
    const uint64_t index = state.frame_index;
    const uint64_t start = state.start_frame;
    const uint64_t end = state.end_frame;
    Run run{std::numeric_limits<uint64_t>::max(), false, false};
    bool window = false, version2 = false;
    // Every boundary lies past index, so a run holds at least one frame.
    const auto until = [&](uint64_t boundary) {
        run.length = std::min(run.length, boundary - index);
    };

    if (start <= end) {
        if (index < start) {
            until(start);
        } else if (index <= end) {
            until(end + 1);
            window = true;
        }
        const ValueQueue &start_values = *state.start_values;
        const ValueQueue &end_values = *state.end_values;
        if (index >= start && start_values.write_position != start_values.capacity) {
            until(index + (start_values.capacity - start_values.write_position));
            run.stepwise = true;
        }
        if (index > end && end_values.write_position != end_values.capacity) {
            until(index + (end_values.capacity - end_values.write_position));
            run.stepwise = true;
        }
        if (index > state.total_pcm_frames)
            run.stepwise = true;
        else
            until(uint64_t{state.total_pcm_frames} + 1);
    }
    if (state.v2_skip != 0) {
        until(index + state.v2_skip);
    } else {
        const uint64_t counter = state.v2_frame;
        if (counter < start) {
            until(index + (start - counter));
        } else if (counter <= end) {
            until(index + (end + 1 - counter));
            version2 = true;
        }
    }
    // With O < R a frame counts for one sum but not the other only while a
    // queue is being filled (frames S to S + O - 1 and E + 1 to E + O), so
    // the mixed case is left to step_frames and one loop sums the rest.
    if (window != version2)
        run.stepwise = true;
    run.summed = window && version2;
    return run;
}

// A run that needs no step_frames: its frames add to the window sums only.
template <class Frames>
void sum_frames(ChecksumState &state, Frames block, uint32_t count, Run run) noexcept {
    if (run.summed) {
        const RunSums sums = sum_window_run(block, count, state.frame_index, state.v2_frame);
        state.checksums[0] += sums.weighted;
        state.values_sum += sums.values;
        state.v2_high_sum += sums.high;
    }
    state.frame_index += count;
    if (state.v2_skip != 0)
        state.v2_skip -= count;
    else
        state.v2_frame += count;
}

} // namespace

Window counted_window(int32_t total_pcm_frames, int32_t sample_rate, bool is_first,
                      bool is_last) noexcept {
    const int32_t skip = skipped_sectors * (sample_rate / sectors_per_second);
    Window window{1, uint32_t(total_pcm_frames)};
    // Below 75 Hz the skip is 0; frame numbers start at 1 all the same.
    if (is_first && skip > 0)
        window.start = uint32_t(skip);
    if (is_last) {
        const int32_t end = total_pcm_frames - skip;
        window.end = end < 0 ? 0 : uint32_t(end);
    }
    return window;
}

bool start_track(ChecksumState &state, uint32_t total_pcm_frames, Window window,
                 uint32_t pcm_frame_range, uint32_t isotrakv2_offset) noexcept {
    auto *checksums = static_cast<uint32_t *>(std::calloc(pcm_frame_range, sizeof(uint32_t)));
    ValueQueue *start_values = make_queue(pcm_frame_range - 1);
    ValueQueue *end_values = make_queue(pcm_frame_range - 1);
    if (!checksums || !start_values || !end_values) {
        std::free(checksums);
        free_queue(start_values);
        free_queue(end_values);
        return false;
    }
    state = ChecksumState{
        .total_pcm_frames = total_pcm_frames,
        .pcm_frame_range = pcm_frame_range,
        .processed_frames = 0,
        .start_frame = window.start,
        .end_frame = window.end,
        .frame_index = 1,
        .checksums = checksums,
        .start_values = start_values,
        .end_values = end_values,
        .values_sum = 0,
        .v2_frame = 1,
        .v2_high_sum = 0,
        .v2_skip = isotrakv2_offset,
        .v2_offset = isotrakv2_offset,
    };
    return true;
}

void release_buffers(ChecksumState &state) noexcept {
    std::free(state.checksums);
    free_queue(state.start_values);
    free_queue(state.end_values);
    state.checksums = nullptr;
    state.start_values = nullptr;
    state.end_values = nullptr;
}

namespace {

template <class Frames>
void update_frames(ChecksumState &state, Frames block, uint32_t frames) noexcept {
    for (uint32_t left = frames; left != 0;) {
        const Run run = next_run(state);
        const uint32_t count = uint32_t(std::min<uint64_t>(left, run.length));
        if (run.stepwise)
            step_frames(state, block, count);
        else
            sum_frames(state, block, count, run);
        block = block.advanced(count);
        left -= count;
    }
    state.processed_frames += frames;
}

} // namespace

void update(ChecksumState &state, const int32_t *samples, uint32_t frames) noexcept {
    update_frames(state, SampleFrames{samples}, frames);
}

void update(ChecksumState &state, const unsigned char *bytes, uint32_t frames) noexcept {
    update_frames(state, ByteFrames{bytes}, frames);
}

} // namespace orvane::isotrak
