// The event log's time source: the processor's time-stamp counter where the
// architecture lets user code read one, else the platform's monotonic clock
// in nanoseconds.  Either way the log header carries a (counter, wall clock)
// pair taken at the first log and another at each dump, so a reader converts
// counter values to wall-clock time without knowing the counter's rate.
//
// Tests set `zolta_counter_source` to drive the counter (for example to make
// its high word change); production code never sets it.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#elif defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "platform/platform.h"

extern uint64_t (*zolta_counter_source)();

inline uint64_t zolta_read_counter() {
#if defined(__GNUC__)
    if (__builtin_expect(zolta_counter_source != nullptr, 0)) return zolta_counter_source();
#else
    if (zolta_counter_source != nullptr) return zolta_counter_source();
#endif
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    return __rdtsc();
#elif defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#elif defined(__aarch64__)
    uint64_t v;
    __asm__ __volatile__("mrs %0, cntvct_el0" : "=r"(v));
    return v;
#else
    return plat_monotonic_ns();
#endif
}
