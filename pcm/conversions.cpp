// Conversions between the integer and the floating container: "to_float"
// scales samples into -1.0 .. 1.0 - 2**(1 - w), "to_int" scales back,
// truncating toward zero and saturating at the width's range.
//
// Each conversion is one plain loop over two arrays with no branches the
// compiler cannot turn into selects, so it vectorises.  Widths of 1 to 32
// bits are accepted: their scale 2**(w - 1) and bounds are computed in 64
// bits, so nothing overflows even at 32 bits.
#include "container.hpp"
#include "vector_clones.hpp"

namespace {
using namespace orvane;
using namespace orvane::pcm;

constexpr const char *width_range_message = "bits_per_sample must be between 1 and 32";

constexpr bool is_convertible_width(long long bits) noexcept { return bits >= 1 && bits <= 32; }

constexpr int64_t scale_of(long long bits) noexcept { return int64_t{1} << (bits - 1); }

// A true division by a power of two: every result is exact.
void scale_down(double *__restrict destination, const int32_t *__restrict source, std::size_t count,
                double divisor) noexcept {
    for (std::size_t i = 0; i < count; ++i)
        destination[i] = double(source[i]) / divisor;
}

// A product above upper (+infinity included) gives upper, below lower
// (-infinity included) gives lower, and NaN fails both comparisons with
// lower and so gives lower; everything in between truncates toward zero.
// The comparisons are strict so that each select is a single max or min
// instruction; a product equal to a bound gives that same bound.
[[gnu::always_inline]] inline void scale_up(int32_t *__restrict destination,
                                            const double *__restrict source, std::size_t count,
                                            double scale, double lower, double upper) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const double product = source[i] * scale;
        const double at_least_lower = product > lower ? product : lower;
        const double bounded = at_least_lower < upper ? at_least_lower : upper;
        destination[i] = int32_t(bounded);
    }
}

// The same loop for AVX2, which has 4 doubles to a register instead of 2.
ORVANE_AVX2 void scale_up_avx2(int32_t *__restrict destination, const double *__restrict source,
                               std::size_t count, double scale, double lower,
                               double upper) noexcept {
    scale_up(destination, source, count, scale, lower, upper);
}

void scale_up_any(int32_t *__restrict destination, const double *__restrict source,
                  std::size_t count, double scale, double lower, double upper) noexcept {
    if (cpu_has_avx2())
        scale_up_avx2(destination, source, count, scale, lower, upper);
    else
        scale_up(destination, source, count, scale, lower, upper);
}
} // namespace

extern "C" {

PyObject *FrameList_to_float(PyObject *self, PyObject *) {
    const pcm_FrameList *source = as_container<FrameListTraits>(self);
    if (!is_convertible_width(source->bits_per_sample)) {
        PyErr_SetString(PyExc_ValueError, width_range_message);
        return nullptr;
    }
    const uint32_t count = source->samples_length;
    auto samples = PyMemArray<double>::allocate(count);
    if (!samples)
        return nullptr;
    scale_down(samples.get(), source->samples, count, double(scale_of(source->bits_per_sample)));
    return make_container<FloatFrameListTraits>(shape_of<FrameListTraits>(source), source->frames,
                                                std::move(samples), count)
        .release();
}

PyObject *FloatFrameList_to_int(PyObject *self, PyObject *args) {
    int bits_per_sample;
    if (!PyArg_ParseTuple(args, "i", &bits_per_sample))
        return nullptr;
    if (!is_convertible_width(bits_per_sample)) {
        PyErr_SetString(PyExc_ValueError, width_range_message);
        return nullptr;
    }
    const pcm_FloatFrameList *source = as_container<FloatFrameListTraits>(self);
    const uint32_t count = source->samples_length;
    auto samples = PyMemArray<int32_t>::allocate(count);
    if (!samples)
        return nullptr;
    const int64_t scale = scale_of(bits_per_sample);
    scale_up_any(samples.get(), source->samples, count, double(scale), double(-scale),
                 double(scale - 1));
    return make_container<FrameListTraits>({source->channels, uint32_t(bits_per_sample)},
                                           source->frames, std::move(samples), count)
        .release();
}
}
