// The checksum state of one track and its update over a run of stereo
// 16-bit frames: pure C++, no interpreter header, so that the arithmetic
// lives in one place that the Python-facing module only calls.
//
// Frames are numbered from 1 in feeding order.  Frames S (start_frame) to
// E (end_frame) form the counted window.  Once T + R - 1 frames have been
// fed, checksums[k] holds, modulo 2^32, the sum over i from S to E of
// i * v(i + k) for every offset k < R, and checksums[O] + v2_high_sum the
// sum of the low and high halves of the 64-bit products i * v(i + O).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvane::isotrak {

// A bounded first-in, first-out list that keeps the first `capacity` values
// pushed and drops the rest; values are taken back in order.
struct ValueQueue {
    uint32_t *values;
    uint32_t capacity;
    uint32_t read_position;
    uint32_t write_position;
};

// The fields of a Checksum object after its interpreter header, in the
// order of the object record.  The arrays come from malloc/calloc.
struct ChecksumState {
    uint32_t total_pcm_frames;
    uint32_t pcm_frame_range;
    uint32_t processed_frames;
    uint32_t start_frame;
    uint32_t end_frame;
    uint32_t frame_index;
    uint32_t *checksums;
    ValueQueue *start_values;
    ValueQueue *end_values;
    uint32_t values_sum;
    uint32_t v2_frame;
    uint32_t v2_high_sum;
    uint32_t v2_skip;
    uint32_t v2_offset;
};

// The counted window of a track: frames start to end (empty when start >
// end).  Arguments are the positive values the constructor has checked.
struct Window {
    uint32_t start;
    uint32_t end;
};
Window counted_window(int32_t total_pcm_frames, int32_t sample_rate, bool is_first,
                      bool is_last) noexcept;

// Resets every field for a new track and allocates the checksum array and
// the two queues.  On allocation failure nothing is kept and false is
// returned.  The buffers held before must have been released.
bool start_track(ChecksumState &state, uint32_t total_pcm_frames, Window window,
                 uint32_t pcm_frame_range, uint32_t isotrakv2_offset) noexcept;

// Frees the checksum array and the queues (any may be null) and nulls them.
void release_buffers(ChecksumState &state) noexcept;

// Frames still accepted before the track is complete.
inline uint64_t frames_wanted(const ChecksumState &state) noexcept {
    return uint64_t{state.total_pcm_frames} + state.pcm_frame_range - 1 - state.processed_frames;
}

inline bool is_complete(const ChecksumState &state) noexcept { return frames_wanted(state) == 0; }

// The frame value: the right sample's low 16 bits over the left sample's,
// computed for any 32-bit samples as (R << 16) | (L + 65536 if L < 0).
// Branch-free (left >> 31 is all ones for a negative left) so that the run
// loops vectorise.
inline uint32_t frame_value(int32_t left, int32_t right) noexcept {
    const uint32_t low = uint32_t(left) + (uint32_t(left >> 31) & 65536u);
    return (uint32_t(right) << 16) | low;
}

// Where the frames of a call come from.  Both give frame_value() of each
// frame; a run of either is summed by the same loops.
//
// The interleaved 32-bit samples of a FrameList.
struct SampleFrames {
    const int32_t *samples;
    uint32_t value(std::size_t frame) const noexcept {
        return frame_value(samples[2 * frame], samples[2 * frame + 1]);
    }
    SampleFrames advanced(std::size_t frames) const noexcept { return {samples + 2 * frames}; }
    const void *address() const noexcept { return samples; }
};

// Raw little-endian 16-bit stereo frames: left low byte, left high byte,
// right low byte, right high byte.  Those four bytes read as one
// little-endian 32-bit word are exactly frame_value() of the two samples.
struct ByteFrames {
    const unsigned char *bytes;
    uint32_t value(std::size_t frame) const noexcept {
        uint32_t word;
        std::memcpy(&word, bytes + 4 * frame, sizeof word);
        if constexpr (std::endian::native == std::endian::big)
            word = __builtin_bswap32(word);
        return word;
    }
    ByteFrames advanced(std::size_t frames) const noexcept { return {bytes + 4 * frames}; }
    const void *address() const noexcept { return bytes; }
};

// Folds `frames` stereo frames into the sums, with the same results however
// a track is cut into calls, and whichever of the two forms each call
// gives.  The caller has checked that frames <= frames_wanted(state).
void update(ChecksumState &state, const int32_t *samples, uint32_t frames) noexcept;
void update(ChecksumState &state, const unsigned char *bytes, uint32_t frames) noexcept;

// The version 2 checksum of offset v2_offset.
inline uint32_t checksum_v2(const ChecksumState &state) noexcept {
    return state.checksums[state.v2_offset] + state.v2_high_sum;
}

} // namespace orvane::isotrak
