// B = tavenor3(CellImage, celllevel): grows a label from every seed pixel over rising levels.

#include "matx/view_handle.h"
#include "mex/gateway.h"
#include "seedgrow/seedgrow.h"

namespace {

// The usage text names tavenor2 and begins with a blank; callers may match it exactly.
constexpr char kUsage[] = " usage: B=tavenor2(CellImage with seeds at 255, celllevel)";
constexpr char kNotRealDouble[] = "Image input must be a double real matrix";
constexpr char kEmptyCelllevel[] = "celllevel input must not be empty";

void tavenor3(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    require(nrhs == 2, kUsage);
    // A sparse image passes the class test, but its element block is not m x n values.
    require(is_full_real_double(prhs[0]), kNotRealDouble);
    const double celllevel = real_double_parameter(prhs[1], kNotRealDouble, kEmptyCelllevel);

    const MatrixSize size = matrix_size(prhs[0], kImageTooLarge);
    double* grey = mxGetPr(prhs[0]);
    // Decides, before anything is allocated, whether the level loop would ever end; the
    // grower is given it and need not scan the image again.
    const double maxGrey = maximumGrey(grey, size.pixels);
    require(levelsPassMaximum(maxGrey), kEndlessGrowingMessage);

    // Scratch comes first: when it cannot be had, nothing else has been made.
    GrowthScratch scratch = makeGrowthScratch(size.rows, size.cols);
    ViewHandle greyView = make_view(grey, size.rows, size.cols);
    // Every element of B is written by the grower. A cleared double matrix is used all the
    // same: it is what every MATLAB host can make (see create_double_matrix).
    OutputArray labels = create_double_matrix(size.rows, size.cols);
    ViewHandle labelView = make_view(mxGetPr(labels.get()), size.rows, size.cols);

    spreadingLabels(*greyView, *labelView, celllevel, scratch, maxGrey);
    plhs[0] = labels.release();
}

}  // namespace

void mexFunction(int /*nlhs*/, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    run_gateway([&] { tavenor3(plhs, nrhs, prhs); });
}
