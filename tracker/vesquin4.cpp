// [Itracks, Ptracks, tracklength, trackstarts, trackstartX, trackstartY] = vesquin4(I,
// maxDistance): links cell markers of consecutive frames into tracks, rewriting I in place.

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <vector>

#include "mex/gateway.h"
#include "tracker/tracker.h"

namespace {

constexpr char kUsage[] =
    " usage: [Itracks, Ptracks, tracklength, trackstarts, trackstartX, trackstartY "
    "]=vesquin( I, maxDistance)";
constexpr char kMaxDistanceNotScalar[] = "maxDistance input must be a numeric scalar";

constexpr int kOutputCount = 6;

struct StackSize {
    int32_t rows;
    int32_t cols;
    int32_t frames;
};

// Rows, columns and frames: the first three dimensions. A plain matrix is a stack of one
// frame, and the dimension array is never read past its end.
StackSize stack_size(const mxArray* stack) {
    const mwSize count = mxGetNumberOfDimensions(stack);
    const mwSize* dims = mxGetDimensions(stack);
    auto dimension = [&](mwSize k) -> uint64_t { return k < count ? dims[k] : 1; };
    const uint64_t rows = dimension(0);
    const uint64_t cols = dimension(1);
    const uint64_t frames = dimension(2);
    require(rows <= kMaxFrameSide && cols <= kMaxFrameSide, kFrameTooLargeMessage);
    require(frames <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()),
            kTooManyFramesMessage);
    return {static_cast<int32_t>(rows), static_cast<int32_t>(cols), static_cast<int32_t>(frames)};
}

// A zero-filled uint16 array. Octave reports a failed allocation by raising its own error
// (which names the module a second time); either way it becomes the toolbox's message.
OutputArray create_uint16_stack(mwSize first, mwSize second, mwSize third) {
    const mwSize dims[3] = {first, second, third};
    mxArray* created = nullptr;
    try {
        created = mxCreateNumericArray(3, dims, mxUINT16_CLASS, mxREAL);
    } catch (const std::exception&) {
        throw std::bad_alloc();
    }
    if (created == nullptr) {
        throw std::bad_alloc();
    }
    return OutputArray(created);
}

OutputArray column_of(const std::vector<double>& values, int32_t count) {
    OutputArray column = create_double_matrix(count, 1);
    if (count > 0) {
        std::memcpy(mxGetPr(column.get()), values.data(), sizeof(double) * count);
    }
    return column;
}

void vesquin4(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    require(nrhs == 2, kUsage);
    // A complex uint8 array holds its markers in two parts; only a real one is a stack.
    require(mxIsUint8(prhs[0]) && !mxIsComplex(prhs[0]), kNotUint8Message);
    // Not checked for its class: any array the host reads as a number will do.
    const int32_t maxDistance = truncateToInt32(scalar_parameter(prhs[1], kMaxDistanceNotScalar));
    const StackSize size = stack_size(prhs[0]);
    // The caller's own element block: the tracker rewrites the markers there, and the caller
    // sees it. This is the one input the toolbox modifies.
    auto* stack = static_cast<uint8_t*>(mxGetData(prhs[0]));

    // Per-track scratch for every track this stack can start, which may be more than a frame
    // has pixels; allocated before any output.
    const auto capacity =
        static_cast<std::size_t>(largestTrackCount(stack, size.rows, size.cols, size.frames));
    std::vector<double> tracklength(capacity);
    std::vector<double> trackstarts(capacity);
    std::vector<double> trackstartX(capacity);
    std::vector<double> trackstartY(capacity);

    // Both are zero-filled by the host, as the tracker needs.
    OutputArray Itracks = create_uint16_stack(size.rows, size.cols, size.frames);
    OutputArray Ptracks = create_uint16_stack(kPositionRows, size.frames, 2);

    bool trackLimitReached = false;
    const int32_t n = tracking(
        stack, static_cast<uint16_t*>(mxGetData(Itracks.get())), tracklength.data(),
        trackstarts.data(), static_cast<uint16_t*>(mxGetData(Ptracks.get())), trackstartX.data(),
        trackstartY.data(), size.rows, size.cols, size.frames, maxDistance, &trackLimitReached);

    OutputArray outputs[kOutputCount] = {std::move(Itracks),        std::move(Ptracks),
                                         column_of(tracklength, n), column_of(trackstarts, n),
                                         column_of(trackstartX, n), column_of(trackstartY, n)};
    // The host has room for the outputs asked for, and for one when none is.
    const int wanted = std::clamp(nlhs, 1, kOutputCount);
    for (int k = 0; k < wanted; ++k) {
        plhs[k] = outputs[k].release();
    }
    if (trackLimitReached) {
        mexWarnMsgTxt(kTrackLimitMessage);
    }
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    run_gateway([&] { vesquin4(nlhs, plhs, nrhs, prhs); });
}
