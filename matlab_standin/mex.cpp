// libmex of the MATLAB stand-in: the call of a module, its errors, warnings and console.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mex.h"
#include "mex_standin.h"

namespace {

// Thrown by mexErrMsgTxt and caught by mexstandin_call only: both live in this library, and
// it derives from nothing a module could catch.
struct CallEnded {};

std::string console;
std::string errorMessage;
std::string lastWarning;
int warnings = 0;
int callsRunning = 0;

}  // namespace

extern "C" {

void mexErrMsgTxt(const char* message) {
    errorMessage = message;
    if (callsRunning == 0) {
        std::fprintf(stderr, "mexErrMsgTxt outside a call: %s\n", message);
        std::abort();
    }
    throw CallEnded{};
}

void mexWarnMsgTxt(const char* message) {
    ++warnings;
    lastWarning = message;
    console += "Warning: ";
    console += message;
    console += '\n';
}

int mexPrintf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        std::vector<char> text(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        console.append(text.data(), static_cast<size_t>(length));
    }
    va_end(args);
    return length;
}

int mexstandin_call(mexstandin_function function, int nlhs, mxArray* plhs[], int nrhs,
                    const mxArray* prhs[]) {
    errorMessage.clear();
    ++callsRunning;
    try {
        function(nlhs, plhs, nrhs, prhs);
    } catch (const CallEnded&) {
        --callsRunning;
        return 0;
    }
    --callsRunning;
    return 1;
}

const char* mexstandin_error_message(void) {
    return errorMessage.c_str();
}

const char* mexstandin_console(void) {
    return console.c_str();
}

void mexstandin_console_clear(void) {
    console.clear();
    lastWarning.clear();
    warnings = 0;
}

int mexstandin_warning_count(void) {
    return warnings;
}

const char* mexstandin_last_warning(void) {
    return lastWarning.c_str();
}

}  // extern "C"
