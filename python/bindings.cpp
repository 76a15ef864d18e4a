// cellkit._core: the toolbox's kernels for Python.
//
// The package (cellkit/__init__.py) checks and converts the arguments first: images arrive
// as Fortran-ordered float64 arrays, which is the column-major layout the kernels take, or
// as C-ordered float64, uint8 or uint16 arrays, which they take by rows (uint8 and uint16
// converted to doubles here), and stacks as Fortran-ordered uint8 arrays; either way element
// (r, c) of a numpy image is the kernels' (row r, column c). Each function takes its outputs
// from numpy while it holds the GIL, then releases the GIL for the kernel, which touches no
// Python object and no shared state; so calls from several threads run at once.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "labeller/labeller.h"
#include "matx/pixel_arrays.h"
#include "matx/view_handle.h"
#include "mex/pixel_limit.h"
#include "seedgrow/seedgrow.h"
#include "tracker/tracker.h"

namespace py = pybind11;

namespace {

using ColumnMajorBytes = py::array_t<uint8_t, py::array::f_style>;
using Labels = py::array_t<int32_t, py::array::c_style>;

struct ImageSize {
    int32_t rows;
    int32_t cols;
    int32_t pixels;
};

std::string named(const char* argument, const char* message) {
    return std::string(argument) + ": " + message;
}

// The package has checked the size already; this keeps the kernels' 32-bit counts safe
// whoever calls the module.
ImageSize image_size(const py::array& image) {
    if (image.ndim() != 2) {
        throw py::value_error("image must have two dimensions");
    }
    const auto rows = static_cast<uint64_t>(image.shape(0));
    const auto cols = static_cast<uint64_t>(image.shape(1));
    if (!fitsPixelLimit(rows, cols)) {
        throw py::value_error(named("image", kImageTooLarge));
    }
    return {static_cast<int32_t>(rows), static_cast<int32_t>(cols),
            static_cast<int32_t>(rows * cols)};
}

// The grey image as doubles, by rows or by columns: the caller's array itself, or a
// conversion held here.
struct GreyValues {
    const double* data = nullptr;
    bool byRows = false;
    PixelArray<double> converted;
};

// The caller's `T` elements to doubles in grey.converted, in memory order, without the GIL.
template <class T>
void to_doubles(const py::array& image, const ImageSize& size, GreyValues& grey) {
    if (size.pixels == 0) {
        return;
    }
    const T* elements = static_cast<const T*>(image.data());
    grey.converted =
        allocatePixelArray<double>(static_cast<std::size_t>(size.pixels), PixelPages::atOnce);
    py::gil_scoped_release unlocked;
    std::copy(elements, elements + size.pixels, grey.converted.get());
    grey.data = grey.converted.get();
}

// The grey image as the kernels take it. A C-ordered array (numpy's own order) by rows: a
// float64 one as it is, a uint8 or uint16 one (the depths microscopes give) converted to
// doubles here in memory order. A Fortran-ordered float64 array by columns, as it is. The
// package gives one of these; anything else is refused rather than copied, as a copy made here
// would hide a caller's mistake.
GreyValues grey_values(const py::array& image, const ImageSize& size) {
    GreyValues grey;
    const auto flags = image.flags();
    const bool c = (flags & py::array::c_style) != 0;
    const bool fortran = (flags & py::array::f_style) != 0;
    grey.byRows = c;
    if (c && py::isinstance<py::array_t<double>>(image)) {
        grey.data = static_cast<const double*>(image.data());
    } else if (c && py::isinstance<py::array_t<uint8_t>>(image)) {
        to_doubles<uint8_t>(image, size, grey);
    } else if (c && py::isinstance<py::array_t<uint16_t>>(image)) {
        to_doubles<uint16_t>(image, size, grey);
    } else if (fortran && py::isinstance<py::array_t<double>>(image)) {
        grey.byRows = false;
        grey.data = static_cast<const double*>(image.data());
    } else {
        throw py::type_error(
            "image must be a Fortran-ordered float64 array, or a C-ordered float64, uint8 or "
            "uint16 one");
    }
    return grey;
}

// Calls kernel(grey) with the image as it lies: GreyRows for one by rows, a matx view for one
// by columns. The kernels take views over non-const doubles but never write the grey image.
template <class Kernel>
void on_grey_image(const GreyValues& values, const ImageSize& size, Kernel kernel) {
    auto* grey = const_cast<double*>(values.data);
    if (values.byRows) {
        kernel(GreyRows{grey, size.rows, size.cols});
    } else {
        ViewHandle view = make_view(grey, size.rows, size.cols);
        kernel(static_cast<const matx&>(*view));
    }
}

// Python's numbering of the labeller's result, in place: 0 for the background, whether never
// flooded (0) or flooded outside any cell (1), and the cells 1..n in the order of their labels
// (2 up, with gaps where cells were merged away).
void number_cells(int32_t* labels, int32_t pixels) {
    int32_t highest = 1;
    for (int32_t k = 0; k < pixels; ++k) {
        highest = std::max(highest, labels[k]);
    }
    std::vector<int32_t> number(static_cast<std::size_t>(highest) + 1, 0);
    for (int32_t k = 0; k < pixels; ++k) {
        number[static_cast<std::size_t>(labels[k])] = 1;
    }
    int32_t cells = 0;
    for (std::size_t label = 2; label < number.size(); ++label) {
        number[label] = number[label] != 0 ? ++cells : 0;
    }
    number[0] = number[1] = 0;
    for (int32_t k = 0; k < pixels; ++k) {
        labels[k] = number[static_cast<std::size_t>(labels[k])];
    }
}

// matlabLabels: the labeller's own values (0, 1, cells from 2 with gaps); otherwise numbered
// as number_cells gives them.
Labels ombrisk(const py::array& image, double cellSizeLimit, double threshold,
               bool matlabLabels, int threads) {
    const ImageSize size = image_size(image);
    const GreyValues values = grey_values(image, size);
    double maxGrey = 0.0;
    {
        py::gil_scoped_release unlocked;
        maxGrey = largestGreyValue(values.data, size.pixels);
    }
    if (!levelsAreFinite(maxGrey)) {
        throw py::value_error(named("image", kEndlessLevelsMessage));
    }
    Labels result({size.rows, size.cols});
    int32_t* out = result.mutable_data();
    if (size.pixels > 0) {
        py::gil_scoped_release unlocked;
        const CellSizeTable cellSize = allocateCellSizeTable(size.pixels);
        // Every element is written by the labeller.
        on_grey_image(values, size, [&](const auto& grey) {
            labellingCellsRowMajor(grey, out, cellSize.get(), maxGrey, cellSizeLimit, threshold,
                                   LabellerThreads{threads});
        });
        if (!matlabLabels) {
            number_cells(out, size.pixels);
        }
    }
    return result;
}

Labels tavenor3(const py::array& image, double celllevel) {
    const ImageSize size = image_size(image);
    const GreyValues values = grey_values(image, size);
    double maxGrey = 0.0;
    {
        py::gil_scoped_release unlocked;
        maxGrey = maximumGrey(values.data, size.pixels);
    }
    if (!levelsPassMaximum(maxGrey)) {
        throw py::value_error(named("image", kEndlessGrowingMessage));
    }
    Labels result({size.rows, size.cols});
    int32_t* out = result.mutable_data();
    if (size.pixels > 0) {
        py::gil_scoped_release unlocked;
        GrowthScratch scratch = makeGrowthScratch(size.rows, size.cols);
        // Every element is written by the grower.
        on_grey_image(values, size, [&](const auto& grey) {
            spreadingLabelsRowMajor(grey, out, celllevel, scratch, maxGrey);
        });
    }
    return result;
}

using ColumnMajorIds = py::array_t<uint16_t, py::array::f_style>;

// Cleared by hand, without the GIL: numpy.zeros would leave most of Ptracks' pages
// untouched, but the tracker's scattered first writes then fault in huge pages, which made
// calls from a thread pool several times slower than one after another.
void clear(ColumnMajorIds& ids) {
    std::memset(ids.mutable_data(), 0, sizeof(uint16_t) * ids.size());
}

py::array_t<double> column_of(const std::vector<double>& values, int32_t count) {
    py::array_t<double> column(count);
    if (count > 0) {
        std::memcpy(column.mutable_data(), values.data(), sizeof(double) * count);
    }
    return column;
}

// Rewrites `stack` (rows x cols x frames, column-major, the caller's to give) in place and
// returns (Itracks, Ptracks, tracklength, trackstarts, trackstartX, trackstartY,
// trackLimitReached), every array as vesquin4 gives it; Ptracks is None unless withPtracks,
// since the package can read the positions off Itracks.
py::tuple vesquin4(ColumnMajorBytes& stack, double maxDistance, bool withPtracks) {
    if (stack.ndim() != 3) {
        throw py::value_error("stack must have three dimensions");
    }
    if (stack.shape(0) > kMaxFrameSide || stack.shape(1) > kMaxFrameSide) {
        throw py::value_error(named("stack", kFrameTooLargeMessage));
    }
    if (stack.shape(2) > std::numeric_limits<int32_t>::max()) {
        throw py::value_error(named("stack", kTooManyFramesMessage));
    }
    const auto rows = static_cast<int32_t>(stack.shape(0));
    const auto cols = static_cast<int32_t>(stack.shape(1));
    const auto frames = static_cast<int32_t>(stack.shape(2));
    uint8_t* I = stack.mutable_data();
    const int32_t distance = truncateToInt32(maxDistance);

    int32_t capacity = 0;
    {
        py::gil_scoped_release unlocked;
        capacity = largestTrackCount(I, rows, cols, frames);
    }
    std::vector<double> tracklength(static_cast<std::size_t>(capacity));
    std::vector<double> trackstarts(static_cast<std::size_t>(capacity));
    std::vector<double> trackstartX(static_cast<std::size_t>(capacity));
    std::vector<double> trackstartY(static_cast<std::size_t>(capacity));
    ColumnMajorIds Itracks({rows, cols, frames});
    ColumnMajorIds Ptracks({withPtracks ? kPositionRows : 0, frames, 2});

    int32_t n = 0;
    bool trackLimitReached = false;
    {
        py::gil_scoped_release unlocked;
        // The tracker needs both all zero.
        clear(Itracks);
        clear(Ptracks);
        n = tracking(I, Itracks.mutable_data(), tracklength.data(), trackstarts.data(),
                     withPtracks ? Ptracks.mutable_data() : nullptr, trackstartX.data(),
                     trackstartY.data(), rows, cols, frames, distance, &trackLimitReached);
    }
    return py::make_tuple(Itracks, withPtracks ? py::object(Ptracks) : py::none(),
                          column_of(tracklength, n), column_of(trackstarts, n),
                          column_of(trackstartX, n), column_of(trackstartY, n),
                          trackLimitReached);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The toolbox's kernels; call them through the cellkit package, which checks "
              "and converts the arguments.";
    m.attr("__version__") = CELLKIT_VERSION;
    m.attr("IMAGE_TOO_LARGE") = kImageTooLarge;
    m.attr("NOT_UINT8") = kNotUint8Message;
    m.attr("FRAME_TOO_LARGE") = kFrameTooLargeMessage;
    m.attr("TOO_MANY_FRAMES") = kTooManyFramesMessage;
    m.attr("TRACK_LIMIT_REACHED") = kTrackLimitMessage;
    m.attr("MAX_FRAME_SIDE") = kMaxFrameSide;
    // noconvert: a copy made here would hide a caller's mistake, and the tracker's rewrite
    // must land in the array given.
    m.def("ombrisk", &ombrisk, py::arg("image").noconvert(), py::arg("cell_size_limit"),
          py::arg("threshold"), py::arg("matlab_labels"), py::arg("threads"));
    m.def("tavenor3", &tavenor3, py::arg("image").noconvert(), py::arg("cell_level"));
    m.def("vesquin4", &vesquin4, py::arg("stack").noconvert(), py::arg("max_distance"),
          py::arg("with_ptracks"));
}
