// Hot loops built twice, for the baseline instruction set and for AVX2,
// with the build chosen at run time by the processor.
//
// A loop is written once, as an always-inline body.  A function marked
// ORVANE_AVX2 holds the same body compiled for AVX2, and the caller picks
// it when cpu_has_avx2() says so, once per call, never per sample:
//
//     ORVANE_AVX2 Sums sum_avx2(...) noexcept { return sum(...); }
//     Sums sum_any(...) noexcept {
//         return cpu_has_avx2() ? sum_avx2(...) : sum(...);
//     }
//
// Elsewhere ORVANE_AVX2 is empty and cpu_has_avx2() a constant false, so
// the second build is never called and falls away.
//
// This is the dispatch that target_clones would generate, spelled out:
// compilers disagree on cloned functions of internal linkage (clang 19
// leaves the helpers that a clone inlines undefined, so the module fails
// to load), while a plain target attribute on a function that inlines a
// baseline body is handled alike by gcc and clang.  Never -march: the
// package must run on any x86-64.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORVANE_AVX2 [[gnu::target("avx2")]]
#define ORVANE_HAS_AVX2_BUILDS 1
#else
#define ORVANE_AVX2
#define ORVANE_HAS_AVX2_BUILDS 0
#endif

namespace orvane {

// True when the processor runs AVX2 code and the system saves its
// registers; asked once per process.
inline bool cpu_has_avx2() noexcept {
#if ORVANE_HAS_AVX2_BUILDS
    static const bool has_avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has_avx2;
#else
    return false;
#endif
}

} // namespace orvane
