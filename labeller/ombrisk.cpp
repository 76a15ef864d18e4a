// B = ombrisk(CellImage, cellSizeLimit, threshold): labels dark cells by level flooding.

#include "labeller/labeller.h"
#include "matx/view_handle.h"
#include "mex/gateway.h"

namespace {

#if defined(_WIN32)
constexpr char kUsage[] = " usage: B=omsbrisk(CellImage(A), min cell size, threshold)";
#else
constexpr char kUsage[] = " usage: B=quorrin(CellImage(A), max cell size, threshold)";
#endif
constexpr char kNotRealDouble[] = "Image input must be a double real matrix";
constexpr char kEmptyCellSizeLimit[] = "cellSizeLimit input must not be empty";
constexpr char kThresholdNotScalar[] = "threshold input must be a numeric scalar";

void ombrisk(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    require(nrhs == 3, kUsage);
    // A sparse image passes the class test, but its element block is not m x n values.
    require(is_full_real_double(prhs[0]), kNotRealDouble);
    const double cellSizeLimit =
        real_double_parameter(prhs[1], kNotRealDouble, kEmptyCellSizeLimit);
    // Not checked for its class: any array the host reads as a number will do.
    const double threshold = scalar_parameter(prhs[2], kThresholdNotScalar);

    const MatrixSize size = matrix_size(prhs[0], kImageTooLarge);
    double* grey = mxGetPr(prhs[0]);
    const double maxGrey = largestGreyValue(grey, size.pixels);
    require(levelsAreFinite(maxGrey), kEndlessLevelsMessage);

    const CellSizeTable cellSize = allocateCellSizeTable(size.pixels);
    ViewHandle greyView = make_view(grey, size.rows, size.cols);
    OutputArray labels = create_double_matrix(size.rows, size.cols);
    ViewHandle labelView = make_view(mxGetPr(labels.get()), size.rows, size.cols);

    // Writes every element of B: the new array's contents are not relied on.
    labellingCells(*greyView, *labelView, cellSize.get(), maxGrey, cellSizeLimit, threshold);
    plhs[0] = labels.release();
}

}  // namespace

void mexFunction(int /*nlhs*/, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    run_gateway([&] { ombrisk(plhs, nrhs, prhs); });
}
