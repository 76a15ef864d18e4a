#include "mex/console_standin.h"

#include <cstdarg>

#include "mex/console.h"
#include "mex/format_text.h"

namespace {
std::string& console_buffer() {
    static std::string text;
    return text;
}
}  // namespace

const std::string& standin_console_text() {
    return console_buffer();
}

void standin_console_clear() {
    console_buffer().clear();
}

int console_printf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = format_text(format, args);
    va_end(args);
    console_buffer() += text;
    return static_cast<int>(text.size());
}
