#pragma once

// Every x86-64 processor has SSE2, and its compilers say so (__SSE2__, or _M_X64 for MSVC).
// -DCELLKIT_SSE2=0 builds the algorithms as they are built for other processors, one word at a
// time, so that those paths are tested here too.

#if !defined(CELLKIT_SSE2)
#if defined(__SSE2__) || defined(_M_X64)
#define CELLKIT_SSE2 1
#else
#define CELLKIT_SSE2 0
#endif
#endif
#if CELLKIT_SSE2
#include <emmintrin.h>
#endif
