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

// Marks a step that a phase takes for every pixel and that is called from more than one
// place (a join, by a growth pass and by a stamp; its meeting with each of the four
// neighbours). The compiler keeps such a step a call of its own, whose saving and restoring
// of registers costs about as much as a short step's work; marked, it is written out where
// it is called, in every build.
#if defined(__GNUC__) || defined(__clang__)
#define CELLKIT_INLINE_STEP __attribute__((always_inline)) inline
#else
#define CELLKIT_INLINE_STEP inline
#endif
