#include <cstdarg>
#include <string>

#include <mex.h>

#include "mex/console.h"
#include "mex/format_text.h"

int console_printf(const char* format, ...) {
    // The host has no va_list variant, so the text is formatted here and passed on whole.
    std::va_list args;
    va_start(args, format);
    const std::string text = format_text(format, args);
    va_end(args);
    return mexPrintf("%s", text.c_str());
}
