#pragma once

// Marks the function of an algorithm that does one phase of its work (sorting, flooding,
// growing, ...). In a build for measuring where the time goes (-DCELLKIT_PHASES=ON, see
// bench/phases/), such a function stays a function of its own, so that a sampling profiler
// and callgrind charge each phase its own time, instructions and cache misses; in every
// other build the mark is nothing and the compiler inlines as it likes.
#if defined(CELLKIT_PHASES) && (defined(__GNUC__) || defined(__clang__))
#define CELLKIT_PHASE __attribute__((noinline))
#else
#define CELLKIT_PHASE
#endif
