#pragma once

// What every gateway needs of the host: argument checks that fail with a fixed message,
// checked narrowing of the host's sizes to the 32-bit ints the algorithms use, output
// arrays that are destroyed unless handed over, and one place where a failure becomes the
// host's error message.
//
// A gateway's body throws GatewayError (or lets std::bad_alloc through); run_gateway catches
// it, lets every owner of memory unwind, and only then calls mexErrMsgTxt, which does not
// return. So a failed call leaks nothing whichever way the host ends it.

#include <mex.h>

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>

#include "mex/pixel_limit.h"

struct GatewayError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const char* message);

inline void require(bool ok, const char* message) {
    if (!ok) {
        fail(message);
    }
}

bool is_real_double(const mxArray* array);
// A real double array whose element block holds every element: not sparse.
bool is_full_real_double(const mxArray* array);

// A scalar parameter as the host's mxGetScalar reads it: the first element of a numeric,
// logical or char array of any size (the real part of a complex one, the first stored
// nonzero of a sparse one, 0 when it has none). Fails with `notScalar` for an empty array
// and for every class mxGetScalar cannot read (cell, struct, function handle, ...), where
// the host would raise its own conversion error instead.
double scalar_parameter(const mxArray* array, const char* notScalar);

// A parameter that must be a real double: fails with `notRealDouble` for any other class
// and with `empty` when it has no element; otherwise read as scalar_parameter does.
double real_double_parameter(const mxArray* array, const char* notRealDouble, const char* empty);

struct MatrixSize {
    int32_t rows;
    int32_t cols;
    int32_t pixels;  // rows * cols
};

// Rows and columns as the host's mxGetM / mxGetN give them. Fails with `tooLarge` when a
// size, or the pixel count, does not fit a signed 32-bit int.
MatrixSize matrix_size(const mxArray* array, const char* tooLarge);

extern const char kOutOfMemory[];

struct ArrayDestroyer {
    void operator()(mxArray* array) const { mxDestroyArray(array); }
};
// An output array under construction: destroyed unless released into plhs.
using OutputArray = std::unique_ptr<mxArray, ArrayDestroyer>;

OutputArray create_double_matrix(int32_t rows, int32_t cols);

namespace gateway_detail {
constexpr std::size_t kMessageCapacity = 512;
struct FailureText {
    char text[kMessageCapacity];
};
void store(FailureText& failure, const char* message);
}  // namespace gateway_detail

template <class Body>
void run_gateway(Body&& body) {
    // The message lives in a plain array: mexErrMsgTxt may leave this frame without
    // running destructors.
    gateway_detail::FailureText failure{};
    try {
        body();
        return;
    } catch (const std::bad_alloc&) {
        gateway_detail::store(failure, kOutOfMemory);
    } catch (const std::exception& error) {
        gateway_detail::store(failure, error.what());
    }
    mexErrMsgTxt(failure.text);
}
