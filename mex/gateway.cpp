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

#if defined(HAVE_OCTAVE)
namespace {
// Octave hands an array it made itself back to the caller as it is, but copies one a module
// created, element by element, into fresh memory of its own: about 4 ns a pixel from
// 2048x2048 on, where that memory comes new from the system at every call. So there a large
// matrix is made by the interpreter's own zeros and written in place. Below a few thousand
// elements, calling the interpreter costs more than the copy.
constexpr double kSmallestInterpreterMatrix = 8192;

// The builtin, never a `zeros` on the user's path, which might hand out an array the user
// also holds. Only a full real double matrix of the size asked for is taken; any other
// answer, or an error the call traps, gives nullptr, and the matrix is then created as on
// every other host. Memory the interpreter cannot have comes back as std::bad_alloc, the
// out-of-memory message of any allocation.
mxArray* interpreter_double_matrix(int32_t rows, int32_t cols) {
    const OutputArray name(mxCreateString("zeros"));
    const OutputArray rowCount(mxCreateDoubleScalar(rows));
    const OutputArray colCount(mxCreateDoubleScalar(cols));
    if (!name || !rowCount || !colCount) {
        return nullptr;
    }
    mxArray* arguments[] = {name.get(), rowCount.get(), colCount.get()};
    mxArray* made = nullptr;
    const OutputArray failure(mexCallMATLABWithTrap(1, &made, 3, arguments, "builtin"));
    OutputArray matrix(made);
    if (failure || !matrix) {
        return nullptr;
    }
    const bool asked = is_full_real_double(made) && mxGetNumberOfDimensions(made) == 2 &&
                       mxGetM(made) == static_cast<size_t>(rows) &&
                       mxGetN(made) == static_cast<size_t>(cols) && mxGetPr(made) != nullptr;
    return asked ? matrix.release() : nullptr;
}
}  // namespace
#endif

OutputArray create_double_matrix(int32_t rows, int32_t cols) {
#if defined(HAVE_OCTAVE)
    if (static_cast<double>(rows) * cols >= kSmallestInterpreterMatrix) {
        if (mxArray* made = interpreter_double_matrix(rows, cols)) {
            return OutputArray(made);
        }
    }
#endif
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
