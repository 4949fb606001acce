// A marker for hot loops that should also be built for AVX2.
//
// On x86-64 with glibc, a function marked ORVANE_VECTOR_CLONES is compiled
// twice, for the baseline instruction set and for AVX2, and the dynamic
// loader picks the build for the processor it runs on.  Elsewhere the
// marker is empty and the function is built once.  Never -march: the
// package must run on any x86-64.
#pragma once

#if defined(__x86_64__) && defined(__GLIBC__) && (defined(__GNUC__) || defined(__clang__))
#define ORVANE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ORVANE_VECTOR_CLONES
#endif
