#pragma once

// Formatted text on the host's console, printf-style.
//
// Inside a module this is the host's own console (console_host.cpp). Builds that link no
// host, such as the unit tests and the benchmarks, link the stand-in (console_standin.cpp)
// instead, which keeps the text so that tests can compare it byte for byte.
int console_printf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
