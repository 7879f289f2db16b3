// Timing one operation with the processor's time-stamp counter, which ticks
// at a constant rate on the machines the benchmarks run on (constant_tsc).
// The fences keep the operation between the two reads: the first read waits
// for everything before it and nothing after it starts early; the second
// (rdtscp) waits for the operation's instructions to finish. What the two
// reads and fences cost themselves is measured the same way around nothing
// ("latency/timer") and reported, never subtracted.
#ifndef OKR_BENCH_MEM_CYCLE_TIMER_H
#define OKR_BENCH_MEM_CYCLE_TIMER_H

#include <x86intrin.h>

#include <cstdint>

// Inline assembly rather than _mm_lfence, which a 32-bit build without
// -msse2 refuses to inline.
inline void LoadFence() {
  asm volatile("lfence" ::: "memory");
}

inline uint64_t TicksBefore() {
  LoadFence();
  const uint64_t t = __rdtsc();
  LoadFence();
  return t;
}

inline uint64_t TicksAfter() {
  unsigned int cpu;
  const uint64_t t = __rdtscp(&cpu);
  LoadFence();
  return t;
}

#endif
