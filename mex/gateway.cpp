#include "mex/gateway.h"

#include <cstring>

const char kOutOfMemory[] =
    "Out of memory: the working space for this input could not be allocated";

void fail(const char* message) {
    throw GatewayError(message);
}

bool is_real_double(const mxArray* array) {
    return mxIsDouble(array) && !mxIsComplex(array);
}

bool is_full_real_double(const mxArray* array) {
    return is_real_double(array) && !mxIsSparse(array);
}

namespace {
// As mxIsEmpty, from the two sizes every host gives (mxGetN multiplies the dimensions after
// the first), so that a module asks its host for one entry point fewer.
bool has_no_element(const mxArray* array) {
    return mxGetM(array) == 0 || mxGetN(array) == 0;
}
}  // namespace

double scalar_parameter(const mxArray* array, const char* notScalar) {
    const bool readable = mxIsNumeric(array) || mxIsLogical(array) || mxIsChar(array);
    require(readable && !has_no_element(array), notScalar);
    return mxGetScalar(array);
}

double real_double_parameter(const mxArray* array, const char* notRealDouble, const char* empty) {
    require(is_real_double(array), notRealDouble);
    require(!has_no_element(array), empty);
    return mxGetScalar(array);
}

MatrixSize matrix_size(const mxArray* array, const char* tooLarge) {
    const uint64_t rows = mxGetM(array);
    const uint64_t cols = mxGetN(array);
    require(fitsPixelLimit(rows, cols), tooLarge);
    return {static_cast<int32_t>(rows), static_cast<int32_t>(cols),
            static_cast<int32_t>(rows * cols)};
}

OutputArray create_double_matrix(int32_t rows, int32_t cols) {
    OutputArray array(mxCreateDoubleMatrix(rows, cols, mxREAL));
    if (!array) {
        throw std::bad_alloc();
    }
    return array;
}

void gateway_detail::store(FailureText& failure, const char* message) {
    std::strncpy(failure.text, message, kMessageCapacity - 1);
    failure.text[kMessageCapacity - 1] = '\0';
}
