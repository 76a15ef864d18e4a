// Loads one of the toolbox's MATLAB modules (.mexa64, .mexw64) by its path, as MATLAB does,
// and calls its mexFunction through the stand-in host (matlab_standin/):
//   - the end-to-end cases that need no Octave: the messages, the worked cases' outputs, the
//     rewritten I, fewer outputs asked for, the warning at the track limit; every refused
//     call must leave the arguments, the output slots and the host's arrays as they were;
//   - a few hundred seeded random inputs, each compared with the plain reference.
//
//   mex_driver <ombrisk|tavenor3|vesquin4> <module file>
//
// Prints each failure and a closing "N passed, N failed"; the exit status is 1 on a failure.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "mex_standin.h"

#include "labeller/labeller.h"
#include "matx/view_handle.h"
#include "tests/reference/growers.h"
#include "tests/reference/labeller_reference.h"
#include "tests/reference/tracker_outcome.h"
#include "tests/reference/tracker_reference.h"
#include "tests/unit/random_choice.h"
#include "tracker/tracker.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// --- Checks ------------------------------------------------------------------------------

int passed = 0;
int failed = 0;

bool expect(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
    return ok;
}

// --- Arrays ------------------------------------------------------------------------------

struct ArrayDestroyer {
    void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using Array = std::unique_ptr<mxArray, ArrayDestroyer>;

size_t elementCount(const mxArray* array) {
    return mxGetM(array) * mxGetN(array);
}

// A value converted to an integer class as MATLAB converts it: rounded, saturated, NaN to 0.
template <class T>
T saturated(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    const double rounded = std::round(v);
    if (rounded <= static_cast<double>(std::numeric_limits<T>::min())) {
        return std::numeric_limits<T>::min();
    }
    if (rounded >= static_cast<double>(std::numeric_limits<T>::max())) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(rounded);
}

// An array of any class holding `values` (column-major), each converted to the class.
Array make(mxClassID classid, std::vector<size_t> dims, const std::vector<double>& values,
           mxComplexity complexity = mxREAL) {
    Array array(mxstandin_create_array(classid, static_cast<int>(dims.size()), dims.data(),
                                       complexity));
    void* data = mxGetData(array.get());
    for (size_t k = 0; k < values.size() && data != nullptr; ++k) {
        const double v = values[k];
        switch (classid) {
            case mxDOUBLE_CLASS: static_cast<double*>(data)[k] = v; break;
            case mxSINGLE_CLASS: static_cast<float*>(data)[k] = static_cast<float>(v); break;
            case mxLOGICAL_CLASS: static_cast<bool*>(data)[k] = v != 0; break;
            case mxCHAR_CLASS: static_cast<uint16_t*>(data)[k] = saturated<uint16_t>(v); break;
            case mxINT8_CLASS: static_cast<int8_t*>(data)[k] = saturated<int8_t>(v); break;
            case mxUINT8_CLASS: static_cast<uint8_t*>(data)[k] = saturated<uint8_t>(v); break;
            case mxINT16_CLASS: static_cast<int16_t*>(data)[k] = saturated<int16_t>(v); break;
            case mxUINT16_CLASS: static_cast<uint16_t*>(data)[k] = saturated<uint16_t>(v); break;
            case mxINT32_CLASS: static_cast<int32_t*>(data)[k] = saturated<int32_t>(v); break;
            case mxUINT32_CLASS: static_cast<uint32_t*>(data)[k] = saturated<uint32_t>(v); break;
            case mxINT64_CLASS: static_cast<int64_t*>(data)[k] = saturated<int64_t>(v); break;
            case mxUINT64_CLASS: static_cast<uint64_t*>(data)[k] = saturated<uint64_t>(v); break;
            default: break;
        }
    }
    return array;
}

Array doubles(size_t m, size_t n, const std::vector<double>& values) {
    return make(mxDOUBLE_CLASS, {m, n}, values);
}

Array scalar(double value) {
    return doubles(1, 1, {value});
}

// Rows as written in the source, stored column-major.
Array rowsOf(std::initializer_list<std::initializer_list<double>> rows) {
    const size_t m = rows.size();
    const size_t n = rows.begin()->size();
    std::vector<double> values(m * n);
    size_t r = 0;
    for (const auto& row : rows) {
        size_t c = 0;
        for (double v : row) {
            values[r + c++ * m] = v;
        }
        ++r;
    }
    return doubles(m, n, values);
}

std::vector<double> valuesOf(const mxArray* array) {
    const double* data = mxGetPr(array);
    return data == nullptr ? std::vector<double>() : std::vector<double>(data, data + elementCount(array));
}

std::vector<size_t> dimsOf(const mxArray* array) {
    const int* dims = mxGetDimensions(array);
    return std::vector<size_t>(dims, dims + mxGetNumberOfDimensions(array));
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// A real double matrix of the given size and values.
bool isDoubleMatrix(const mxArray* array, size_t m, size_t n, const std::vector<double>& values) {
    return array != nullptr && mxIsDouble(array) && !mxIsComplex(array) && !mxIsSparse(array) &&
           dimsOf(array) == std::vector<size_t>{m, n} && sameBits(valuesOf(array), values);
}

// The same value in every class a module might be handed, as rows {class name, array}.
struct Variant {
    std::string name;
    Array array;
};

std::vector<Variant> classVariants(size_t m, size_t n, const std::vector<double>& values) {
    std::vector<Variant> variants;
    const std::pair<const char*, mxClassID> classes[] = {
        {"double", mxDOUBLE_CLASS}, {"single", mxSINGLE_CLASS}, {"int8", mxINT8_CLASS},
        {"uint8", mxUINT8_CLASS},   {"int16", mxINT16_CLASS},   {"uint16", mxUINT16_CLASS},
        {"int32", mxINT32_CLASS},   {"uint32", mxUINT32_CLASS}, {"int64", mxINT64_CLASS},
        {"uint64", mxUINT64_CLASS}, {"logical", mxLOGICAL_CLASS}, {"char", mxCHAR_CLASS}};
    for (const auto& [name, classid] : classes) {
        variants.push_back({name, make(classid, {m, n}, values)});
    }
    Array complex = make(mxDOUBLE_CLASS, {m, n}, values, mxCOMPLEX);
    for (size_t k = 0; k < m * n; ++k) {
        mxGetPi(complex.get())[k] = 1;
    }
    variants.push_back({"complex", std::move(complex)});
    variants.push_back({"sparse", Array(mxstandin_create_sparse(m, n, values.data()))});
    variants.push_back({"cell", make(mxCELL_CLASS, {1, 1}, {})});
    variants.push_back({"struct", make(mxSTRUCT_CLASS, {1, 1}, {})});
    variants.push_back({"function handle", make(mxFUNCTION_CLASS, {1, 1}, {})});
    return variants;
}

// --- Calls -------------------------------------------------------------------------------

mexstandin_function module = nullptr;

struct Outcome {
    bool returned = false;
    std::string error;
    std::vector<Array> outputs;  // the slots the host offered
};

std::vector<uint8_t> bytesOf(const mxArray* array) {
    const auto* data = static_cast<const uint8_t*>(mxGetData(array));
    const size_t stored = mxIsSparse(array) ? 0 : elementCount(array) * mxGetElementSize(array);
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + stored);
}

// Calls the module with room for max(nlhs, 1) outputs, as MATLAB gives it. Checks what every
// call must keep: arguments other than `rewritten` unchanged (all of them when the call is
// refused), no output slot set and no array left over by a refused call, and no array
// created but neither handed back nor destroyed.
Outcome call(const std::string& what, int nlhs, std::vector<const mxArray*> args,
             int rewritten = -1) {
    std::vector<std::vector<uint8_t>> before;
    for (const mxArray* arg : args) {
        before.push_back(bytesOf(arg));
    }
    const int slots = nlhs < 1 ? 1 : nlhs;
    std::vector<mxArray*> plhs(static_cast<size_t>(slots), nullptr);
    const long live = mxstandin_live_arrays();
    Outcome o;
    o.returned = mexstandin_call(module, nlhs, plhs.data(), static_cast<int>(args.size()),
                                 args.data()) == 1;
    if (!o.returned) {
        o.error = mexstandin_error_message();
    }
    long handedBack = 0;
    for (mxArray* output : plhs) {
        handedBack += output != nullptr;
        o.outputs.emplace_back(output);
    }
    expect(mxstandin_live_arrays() == live + handedBack,
           what + ": every array made in the call is handed back or destroyed");
    if (!o.returned) {
        expect(handedBack == 0, what + ": a refused call sets no output");
    }
    for (size_t a = 0; a < args.size(); ++a) {
        if (static_cast<int>(a) == rewritten && o.returned) {
            continue;
        }
        expect(bytesOf(args[a]) == before[a],
               what + ": argument " + std::to_string(a + 1) + " is left as it was");
    }
    return o;
}

void expectError(const std::string& what, const std::string& message,
                 std::vector<const mxArray*> args, int nlhs = 1) {
    const Outcome o = call(what, nlhs, args);
    expect(!o.returned && o.error == message,
           what + ": expected the error \"" + message + "\", got " +
               (o.returned ? std::string("no error") : "\"" + o.error + "\""));
}

// The first output of a call that must succeed; nullptr (and a failure) when it does not.
Array firstOutput(const std::string& what, std::vector<const mxArray*> args, int nlhs = 1) {
    Outcome o = call(what, nlhs, args);
    if (!expect(o.returned, what + ": unexpected error \"" + o.error + "\"")) {
        return nullptr;
    }
    expect(o.outputs[0] != nullptr, what + ": the first output is set");
    return std::move(o.outputs[0]);
}

void expectDoubleResult(const std::string& what, std::vector<const mxArray*> args, size_t m,
                        size_t n, const std::vector<double>& values) {
    const Array out = firstOutput(what, args);
    expect(isDoubleMatrix(out.get(), m, n, values), what + ": the expected " +
                                                        std::to_string(m) + " x " +
                                                        std::to_string(n) + " result");
}

// --- ombrisk -----------------------------------------------------------------------------

#if defined(_WIN32)
const char kOmbriskUsage[] = " usage: B=omsbrisk(CellImage(A), min cell size, threshold)";
#else
const char kOmbriskUsage[] = " usage: B=quorrin(CellImage(A), max cell size, threshold)";
#endif
const char kNotRealDouble[] = "Image input must be a double real matrix";

// Four overlapping squares flooded at levels 3, 4 and 5, as in the Octave tests.
Array meetingSquares() {
    std::vector<double> a(16 * 16, 0);
    auto fill = [&](int r0, int r1, int c0, int c1, double v) {
        for (int c = c0; c <= c1; ++c)
            for (int r = r0; r <= r1; ++r)
                a[(r - 1) + (c - 1) * 16] = v;
    };
    fill(1, 6, 10, 15, 3);
    fill(2, 7, 6, 11, 3);
    fill(9, 14, 8, 13, 4);
    fill(10, 15, 7, 12, 5);
    return doubles(16, 16, a);
}

std::vector<double> ombriskReference(const std::vector<double>& grey, int32_t m, int32_t n,
                                     double limit, double threshold) {
    std::vector<double> image = grey;
    image.push_back(0);  // a view without elements still lies over memory
    std::vector<double> labels(image.size(), 0);
    std::vector<int32_t> cellSize(image.size(), 0);
    ViewHandle greyView = make_view(image.data(), m, n);
    ViewHandle labelView = make_view(labels.data(), m, n);
    reference::labellingCells(*greyView, *labelView, cellSize.data(),
                              largestGreyValue(image.data(), m * n), limit, threshold);
    labels.pop_back();
    return labels;
}

void ombriskMessages() {
    const Array A = meetingSquares();
    const Array limit = scalar(30);
    const Array threshold = scalar(5);
    const Array text = make(mxCHAR_CLASS, {1, 4}, {116, 101, 120, 116});
    const Array cell = make(mxCELL_CLASS, {0, 0}, {});
    expectError("ombrisk with no argument", kOmbriskUsage, {});
    expectError("ombrisk with one argument", kOmbriskUsage, {A.get()});
    expectError("ombrisk with two arguments", kOmbriskUsage, {A.get(), limit.get()});
    expectError("ombrisk with four arguments", kOmbriskUsage,
                {A.get(), limit.get(), threshold.get(), threshold.get()});
    expectError("ombrisk with two arguments of other classes", kOmbriskUsage,
                {text.get(), cell.get()});

    const std::vector<double> a = valuesOf(A.get());
    for (const Variant& v : classVariants(16, 16, a)) {
        if (v.name != "double") {
            expectError("ombrisk image of class " + v.name, kNotRealDouble,
                        {v.array.get(), limit.get(), threshold.get()});
        }
    }
    const std::vector<double> B = ombriskReference(a, 16, 16, 30, 5);
    for (const Variant& v : classVariants(1, 1, {30})) {
        const std::string what = "ombrisk limit of class " + v.name;
        if (v.name == "double" || v.name == "sparse") {
            expectDoubleResult(what, {A.get(), v.array.get(), threshold.get()}, 16, 16, B);
        } else {
            expectError(what, kNotRealDouble, {A.get(), v.array.get(), threshold.get()});
        }
    }
    const Array empty = doubles(0, 0, {});
    const Array emptySingle = make(mxSINGLE_CLASS, {0, 0}, {});
    expectError("ombrisk empty limit", "cellSizeLimit input must not be empty",
                {A.get(), empty.get(), threshold.get()});
    expectError("ombrisk empty single limit", kNotRealDouble,
                {A.get(), emptySingle.get(), threshold.get()});

    const std::vector<double> B0 = ombriskReference(a, 16, 16, 0, 5);
    const Array zero = scalar(0);
    for (const Variant& v : classVariants(1, 1, {5})) {
        const std::string what = "ombrisk threshold of class " + v.name;
        const std::vector<const mxArray*> args = {A.get(), zero.get(), v.array.get()};
        if (v.name == "cell" || v.name == "struct" || v.name == "function handle") {
            expectError(what, "threshold input must be a numeric scalar", args);
        } else if (v.name == "logical") {
            expectDoubleResult(what, args, 16, 16, ombriskReference(a, 16, 16, 0, 1));
        } else {
            expectDoubleResult(what, args, 16, 16, B0);
        }
    }
    expectError("ombrisk empty threshold", "threshold input must be a numeric scalar",
                {A.get(), zero.get(), empty.get()});
    const char endless[] =
        "Image input must not hold Inf or values of 2^53-1 or more: the flooding levels would "
        "never end";
    for (double huge : {kInf, 9007199254740991.0, 1e300}) {
        const Array image = rowsOf({{1, 2}, {huge, 3}});
        expectError("ombrisk image holding " + std::to_string(huge), endless,
                    {image.get(), limit.get(), threshold.get()});
    }
}

void ombriskWorkedCases() {
    const Array limit = scalar(30);
    const Array threshold = scalar(5);
    auto run = [&](const std::string& what, const Array& image, size_t m, size_t n,
                   const std::vector<double>& expected) {
        expectDoubleResult(what, {image.get(), limit.get(), threshold.get()}, m, n, expected);
    };
    run("ombrisk 7 x 7 ones", doubles(7, 7, std::vector<double>(49, 1)), 7, 7,
        std::vector<double>(49, 2));
    run("ombrisk 6 x 20 ones", doubles(6, 20, std::vector<double>(120, 1)), 6, 20,
        std::vector<double>(120, 1));
    run("ombrisk [0 2.5 -1 1]", rowsOf({{0, 2.5, -1, 1}}), 1, 4, {0, 1, 0, 1});
    run("ombrisk 0 x 0", doubles(0, 0, {}), 0, 0, {});
    run("ombrisk 0 x 5", doubles(0, 5, {}), 0, 5, {});
    run("ombrisk 3 x 0", doubles(3, 0, {}), 3, 0, {});
    run("ombrisk 2 x 0 x 3", make(mxDOUBLE_CLASS, {2, 0, 3}, {}), 2, 0, {});
    run("ombrisk NaN", scalar(kNaN), 1, 1, {0});
    run("ombrisk negative values only", doubles(3, 3, std::vector<double>(9, -4)), 3, 3,
        std::vector<double>(9, 0));
    run("ombrisk NaN and -Inf never flooded", rowsOf({{-kInf, kNaN, 1}}), 1, 3, {0, 0, 1});
    // More dimensions are an m x (n*p) matrix, as mxGetN counts them.
    const Array A = meetingSquares();
    std::vector<double> twice = valuesOf(A.get());
    twice.insert(twice.end(), twice.begin(), twice.end());
    run("ombrisk 16 x 16 x 2", make(mxDOUBLE_CLASS, {16, 16, 2}, twice), 16, 32,
        ombriskReference(twice, 16, 32, 30, 5));
    // No output asked for: the result still comes back in the first slot.
    const Array seven = doubles(7, 7, std::vector<double>(49, 1));
    const Array B = firstOutput("ombrisk with nlhs 0", {seven.get(), limit.get(), threshold.get()}, 0);
    expect(isDoubleMatrix(B.get(), 7, 7, std::vector<double>(49, 2)), "ombrisk with nlhs 0: result");
}

void ombriskRandomCases(int count) {
    for (int seed = 1; seed <= count; ++seed) {
        std::mt19937_64 rng(static_cast<uint64_t>(seed));
        const int32_t m = uniform(rng, 0, 9) == 0 ? uniform(rng, 0, 6) : uniform(rng, 7, 22);
        const int32_t n = uniform(rng, 0, 9) == 0 ? uniform(rng, 0, 6) : uniform(rng, 7, 22);
        const int32_t top = uniform(rng, 1, 24);
        std::vector<double> grey(static_cast<size_t>(m) * n);
        const bool real = uniform(rng, 0, 2) == 0;
        for (double& g : grey) {
            g = real ? std::uniform_real_distribution<double>(-1.0, top)(rng)
                     : uniform(rng, -2, top);
            if (uniform(rng, 0, 29) == 0)
                g = kNaN;
        }
        const double limit = pick(rng, {0.0, 1.0, 5.0, 12.0, 30.0, 80.0, 1e9, -3.0, kNaN});
        const double threshold = pick(rng, {kNaN, -1.0, 1.0, 2.0, 4.0, 8.5, 1e9});
        const Array image = doubles(static_cast<size_t>(m), static_cast<size_t>(n), grey);
        const Array L = scalar(limit);
        const Array T = scalar(threshold);
        const std::string what = "ombrisk random case " + std::to_string(seed);
        const Array B = firstOutput(what, {image.get(), L.get(), T.get()});
        expect(isDoubleMatrix(B.get(), static_cast<size_t>(m), static_cast<size_t>(n),
                              ombriskReference(grey, m, n, limit, threshold)),
               what + ": labels as the reference's");
    }
}

// --- tavenor3 ----------------------------------------------------------------------------

const char kTavenorUsage[] = " usage: B=tavenor2(CellImage with seeds at 255, celllevel)";

std::vector<double> tavenorReference(const std::vector<double>& grey, int32_t m, int32_t n,
                                     double celllevel) {
    std::vector<double> image = grey;
    image.push_back(kNaN);
    std::vector<double> labels(image.size(), 0);
    ViewHandle greyView = make_view(image.data(), m, n);
    ViewHandle labelView = make_view(labels.data(), m, n);
    growWithReference(*greyView, *labelView, celllevel);
    labels.pop_back();
    return labels;
}

void tavenorMessages() {
    const Array G = rowsOf({{0, 255, 0, 0, 255, 0},
                            {0.5, 3, 0, 2, 0, 0},
                            {0, 0, 200, 0, 0, 0},
                            {0, 1, 0, 0, 0, 255}});
    const Array level = scalar(254);
    const Array text = make(mxCHAR_CLASS, {1, 4}, {116, 101, 120, 116});
    expectError("tavenor3 with no argument", kTavenorUsage, {});
    expectError("tavenor3 with one argument", kTavenorUsage, {G.get()});
    expectError("tavenor3 with three arguments", kTavenorUsage, {G.get(), level.get(), level.get()});
    expectError("tavenor3 with one argument of another class", kTavenorUsage, {text.get()});
    const std::vector<double> g = valuesOf(G.get());
    for (const Variant& v : classVariants(4, 6, g)) {
        if (v.name != "double") {
            expectError("tavenor3 image of class " + v.name, kNotRealDouble,
                        {v.array.get(), level.get()});
        }
    }
    const std::vector<double> B = tavenorReference(g, 4, 6, 254);
    for (const Variant& v : classVariants(1, 1, {254})) {
        const std::string what = "tavenor3 seed level of class " + v.name;
        if (v.name == "double" || v.name == "sparse") {
            expectDoubleResult(what, {G.get(), v.array.get()}, 4, 6, B);
        } else {
            expectError(what, kNotRealDouble, {G.get(), v.array.get()});
        }
    }
    const Array empty = doubles(0, 3, {});
    expectError("tavenor3 empty seed level", "celllevel input must not be empty",
                {G.get(), empty.get()});
    const char endless[] =
        "Image input must not hold Inf or values of 2^49 or more: the growing levels would "
        "never end";
    const Array two = scalar(2);
    for (double huge : {kInf, 562949953421312.0}) {
        const Array image = rowsOf({{1, 2}, {huge, 3}});
        expectError("tavenor3 image holding " + std::to_string(huge), endless,
                    {image.get(), two.get()});
    }
}

void tavenorWorkedCases() {
    const Array level = scalar(254);
    auto run = [&](const std::string& what, const Array& image, size_t m, size_t n,
                   const std::vector<double>& expected) {
        expectDoubleResult(what, {image.get(), level.get()}, m, n, expected);
    };
    run("tavenor3 [255 0 255]", rowsOf({{255, 0, 255}}), 1, 3, {1, 1, 2});
    run("tavenor3 column", doubles(5, 1, {0, 255, 0, 0, 255}), 5, 1, {1, 1, 1, 2, 2});
    run("tavenor3 [0 255; 255 0]", rowsOf({{0, 255}, {255, 0}}), 2, 2, {1, 2, 1, 1});
    run("tavenor3 help example", rowsOf({{0, 255, 0, 0, 255}, {0, 0, 0, 0, 0}}), 2, 5,
        {1, 1, 1, 1, 1, 1, 2, 2, 2, 2});
    run("tavenor3 0 x 5", doubles(0, 5, {}), 0, 5, {});
    run("tavenor3 2 x 0 x 3", make(mxDOUBLE_CLASS, {2, 0, 3}, {}), 2, 0, {});
    run("tavenor3 NaN never labelled, -Inf claimed", rowsOf({{-kInf, kNaN, 255, 0, -kInf}}), 1,
        5, {0, 0, 1, 1, 1});
    const Array magic = rowsOf({{35, 1, 6, 26, 19, 24},
                                {3, 32, 7, 21, 23, 25},
                                {31, 9, 2, 22, 27, 20},
                                {8, 28, 33, 17, 10, 15},
                                {30, 5, 34, 12, 14, 16},
                                {4, 36, 29, 13, 18, 11}});
    const Array level36 = scalar(36);
    expectDoubleResult("tavenor3 magic(6) without a seed", {magic.get(), level36.get()}, 6, 6,
                       std::vector<double>(36, 0));
    const Array row = rowsOf({{0, 255, 0, 0, 255}});
    const Array B = firstOutput("tavenor3 with nlhs 0", {row.get(), level.get()}, 0);
    expect(isDoubleMatrix(B.get(), 1, 5, {1, 1, 1, 2, 2}), "tavenor3 with nlhs 0: result");
}

void tavenorRandomCases(int count) {
    for (int seed = 1; seed <= count; ++seed) {
        std::mt19937_64 rng(static_cast<uint64_t>(1000 + seed));
        const int32_t m = uniform(rng, 0, 9) == 0 ? uniform(rng, 0, 3) : uniform(rng, 3, 22);
        const int32_t n = uniform(rng, 0, 9) == 0 ? uniform(rng, 0, 3) : uniform(rng, 3, 22);
        const double top = std::uniform_real_distribution<double>(0.5, 12.0)(rng);
        const bool grid = uniform(rng, 0, 1) == 0;
        std::vector<double> grey(static_cast<size_t>(m) * n);
        for (double& g : grey) {
            g = std::uniform_real_distribution<double>(-1.0, top)(rng);
            if (grid)
                g = 0.05 * std::round(g / 0.05);
            if (uniform(rng, 0, 9) == 0)
                g = 255;
            else if (uniform(rng, 0, 39) == 0)
                g = pick(rng, {kNaN, -kInf, -0.0});
        }
        double celllevel = pick(rng, {254.0, 254.0, top, -1.0, kNaN});
        if (!grey.empty() && uniform(rng, 0, 5) == 0) {
            celllevel = grey[static_cast<size_t>(uniform(rng, 0, m * n - 1))];
        }
        const Array image = doubles(static_cast<size_t>(m), static_cast<size_t>(n), grey);
        const Array level = scalar(celllevel);
        const std::string what = "tavenor3 random case " + std::to_string(seed);
        const Array B = firstOutput(what, {image.get(), level.get()});
        expect(isDoubleMatrix(B.get(), static_cast<size_t>(m), static_cast<size_t>(n),
                              tavenorReference(grey, m, n, celllevel)),
               what + ": labels as the reference's");
    }
}

// --- vesquin4 ----------------------------------------------------------------------------

const char kVesquinUsage[] =
    " usage: [Itracks, Ptracks, tracklength, trackstarts, trackstartX, trackstartY "
    "]=vesquin( I, maxDistance)";
const char kNotUint8[] = "Image with cell markers must be a uint8 matrix";
const char kTrackLimit[] =
    "vesquin4: the limit of 65535 tracks was reached; markers that would have started "
    "further tracks were left unlinked";

struct Stack {
    size_t rows, cols, frames;
    std::vector<double> values;
    double& at(size_t r, size_t c, size_t t) { return values[r + c * rows + t * rows * cols]; }
};

Stack zeroStack(size_t rows, size_t cols, size_t frames) {
    return {rows, cols, frames, std::vector<double>(rows * cols * frames, 0)};
}

Array uint8Stack(const Stack& s) {
    return make(mxUINT8_CLASS, {s.rows, s.cols, s.frames}, s.values);
}

// A marker at (21, 21) of frame 1 and one at (22, 23) of frame 2, 1-based.
Stack oneLinkStack() {
    Stack s = zeroStack(40, 40, 2);
    s.at(20, 20, 0) = 255;
    s.at(21, 22, 1) = 254;
    return s;
}

// Every pair of frames starts `units` tracks of one link.
Stack trackStarters(size_t units, size_t frames) {
    Stack s = zeroStack(7 * units + 1, 8, frames);
    for (size_t t = 0; t < frames; ++t)
        for (size_t u = 0; u < units; ++u)
            for (size_t c : {1, 4})
                s.at(7 * u + 4, c, t) = 255;
    return s;
}

template <class T>
std::vector<T> elementsOf(const mxArray* array) {
    const T* data = static_cast<const T*>(mxGetData(array));
    return data == nullptr ? std::vector<T>() : std::vector<T>(data, data + elementCount(array));
}

bool isUint16(const mxArray* array, std::vector<size_t> dims) {
    return array != nullptr && mxGetClassID(array) == mxUINT16_CLASS && !mxIsComplex(array) &&
           dimsOf(array) == dims;
}

size_t nonzeros(const std::vector<uint16_t>& values) {
    size_t count = 0;
    for (uint16_t v : values)
        count += v != 0;
    return count;
}

// The six outputs of a call that must succeed with all six asked for.
std::vector<Array> allOutputs(const std::string& what, const mxArray* I, double maxDistance) {
    const Array d = scalar(maxDistance);
    Outcome o = call(what, 6, {I, d.get()}, 0);
    if (!expect(o.returned, what + ": unexpected error \"" + o.error + "\"")) {
        return {};
    }
    for (const Array& output : o.outputs) {
        if (!expect(output != nullptr, what + ": all six outputs are set"))
            return {};
    }
    return std::move(o.outputs);
}

bool summariesAre(const std::vector<Array>& out, const std::vector<std::vector<double>>& rows) {
    for (size_t k = 0; k < 4; ++k) {
        std::vector<double> column;
        for (const auto& row : rows)
            column.push_back(row[k]);
        if (!isDoubleMatrix(out[2 + k].get(), rows.size(), 1, column))
            return false;
    }
    return true;
}

void vesquinMessages() {
    const Array S = uint8Stack(oneLinkStack());
    const Array five = scalar(5);
    const Array text = make(mxCHAR_CLASS, {1, 4}, {116, 101, 120, 116});
    expectError("vesquin4 with no argument", kVesquinUsage, {}, 6);
    expectError("vesquin4 with one argument", kVesquinUsage, {S.get()}, 6);
    expectError("vesquin4 with three arguments", kVesquinUsage, {S.get(), five.get(), five.get()}, 6);
    expectError("vesquin4 with one argument of another class", kVesquinUsage, {text.get()}, 6);
    Stack frame = zeroStack(40, 40, 1);
    frame.at(20, 20, 0) = 255;
    for (const Variant& v : classVariants(40, 40, frame.values)) {
        if (v.name != "uint8") {
            expectError("vesquin4 frame of class " + v.name, kNotUint8, {v.array.get(), five.get()}, 6);
        }
    }
    Array complex = make(mxUINT8_CLASS, {40, 40, 2}, oneLinkStack().values, mxCOMPLEX);
    expectError("vesquin4 complex uint8 stack", kNotUint8, {complex.get(), five.get()}, 6);
    for (const Variant& v : classVariants(1, 1, {5})) {
        const std::string what = "vesquin4 maxDistance of class " + v.name;
        if (v.name == "cell" || v.name == "struct" || v.name == "function handle") {
            expectError(what, "maxDistance input must be a numeric scalar", {S.get(), v.array.get()}, 6);
        }
    }
    const Array empty = doubles(0, 0, {});
    expectError("vesquin4 empty maxDistance", "maxDistance input must be a numeric scalar",
                {S.get(), empty.get()}, 6);
    const Array wide = make(mxUINT8_CLASS, {1, 65536, 2}, {});
    expectError("vesquin4 frame of 65536 columns",
                "Image with cell markers is too large: frames of at most 65535 rows and 65535 "
                "columns are supported",
                {wide.get(), five.get()}, 6);
}

void vesquinWorkedCases() {
    {
        const Array I = uint8Stack(oneLinkStack());
        const std::vector<Array> out = allOutputs("vesquin4 one link", I.get(), 5);
        if (!out.empty()) {
            expect(isUint16(out[0].get(), {40, 40, 2}) && isUint16(out[1].get(), {100000, 2, 2}),
                   "vesquin4 one link: Itracks and Ptracks, uint16, of their sizes");
            const std::vector<uint16_t> It = elementsOf<uint16_t>(out[0].get());
            const std::vector<uint16_t> Pt = elementsOf<uint16_t>(out[1].get());
            expect(nonzeros(It) == 2 && It[20 + 20 * 40] == 1 && It[21 + 22 * 40 + 1600] == 1,
                   "vesquin4 one link: the track image");
            expect(nonzeros(Pt) == 4 && Pt[0] == 21 && Pt[100000] == 23 && Pt[200000] == 21 &&
                       Pt[300000] == 22,
                   "vesquin4 one link: the track positions");
            expect(summariesAre(out, {{1, 1, 21, 21}}), "vesquin4 one link: the summaries");
            const std::vector<uint8_t> rewritten = elementsOf<uint8_t>(I.get());
            expect(rewritten[20 + 20 * 40] == 254 && rewritten[21 + 22 * 40 + 1600] == 254,
                   "vesquin4 one link: the caller's I rewritten");
        }
    }
    {
        // Unlinked markers end at 255; other values stay.
        Stack s = oneLinkStack();
        s.at(29, 29, 0) = 254;
        s.at(4, 4, 1) = 253;
        s.at(5, 5, 0) = 17;
        const Array I = uint8Stack(s);
        allOutputs("vesquin4 rewrite", I.get(), 5);
        const std::vector<uint8_t> v = elementsOf<uint8_t>(I.get());
        expect(v[20 + 20 * 40] == 254 && v[29 + 29 * 40] == 255 && v[4 + 4 * 40 + 1600] == 253 &&
                   v[5 + 5 * 40] == 17,
               "vesquin4 rewrite: markers by the linking rule, other values unchanged");
    }
    {
        Stack s = zeroStack(40, 40, 3);
        s.at(19, 19, 0) = 255;
        s.at(20, 21, 1) = 255;
        s.at(21, 22, 2) = 255;
        const Array I = uint8Stack(s);
        const std::vector<Array> out = allOutputs("vesquin4 three frames", I.get(), 5);
        if (!out.empty()) {
            expect(summariesAre(out, {{2, 1, 20, 20}}), "vesquin4 three frames: the summaries");
            const std::vector<uint16_t> Pt = elementsOf<uint16_t>(out[1].get());
            expect(Pt[0] == 20 && Pt[100000] == 22 && Pt[200000] == 23 && Pt[300000] == 20 &&
                       Pt[400000] == 21 && Pt[500000] == 22,
                   "vesquin4 three frames: the positions");
        }
    }
    // maxDistance is truncated toward zero: this link needs a radius of exactly 4.
    for (const auto& [d, links] : std::vector<std::pair<double, size_t>>{
             {4, 1}, {3, 0}, {4.9, 1}, {3.9, 0}, {-0.5, 0}, {kNaN, 0}, {2147483648.0, 0}}) {
        Stack s = zeroStack(40, 40, 2);
        s.at(10, 10, 0) = 255;
        s.at(10, 14, 1) = 255;
        const Array I = uint8Stack(s);
        const std::string what = "vesquin4 maxDistance " + std::to_string(d);
        const std::vector<Array> out = allOutputs(what, I.get(), d);
        expect(!out.empty() && mxGetM(out[2].get()) == links, what + ": " + std::to_string(links) + " links");
    }
    {
        // A plain matrix is one frame: nothing links and nothing changes.
        Stack s = zeroStack(40, 40, 1);
        s.at(20, 20, 0) = 255;
        const Array I = make(mxUINT8_CLASS, {40, 40}, s.values);
        const std::vector<Array> out = allOutputs("vesquin4 single frame", I.get(), 5);
        expect(!out.empty() && isUint16(out[0].get(), {40, 40}) &&
                   nonzeros(elementsOf<uint16_t>(out[0].get())) == 0 &&
                   isUint16(out[1].get(), {100000, 1, 2}) && summariesAre(out, {}) &&
                   elementsOf<uint8_t>(I.get())[20 + 20 * 40] == 255,
               "vesquin4 single frame: no track, I unchanged");
    }
    for (const std::vector<size_t>& dims : {std::vector<size_t>{0, 5, 3}, {5, 0, 3}, {5, 5, 0}}) {
        const Array I = make(mxUINT8_CLASS, dims, {});
        const std::string what = "vesquin4 stack of " + std::to_string(dims[0]) + " x " +
                                 std::to_string(dims[1]) + " x " + std::to_string(dims[2]);
        const std::vector<Array> out = allOutputs(what, I.get(), 5);
        expect(!out.empty() && isUint16(out[0].get(), dims) &&
                   isUint16(out[1].get(), {100000, dims[2], 2}) && summariesAre(out, {}),
               what + ": empty outputs shaped like the input");
    }
    // Fewer outputs asked for: the host offers only those slots, and the rest is destroyed.
    for (int nlhs : {0, 1, 3}) {
        const Array I = uint8Stack(oneLinkStack());
        const Array five = scalar(5);
        const std::string what = "vesquin4 with nlhs " + std::to_string(nlhs);
        Outcome o = call(what, nlhs, {I.get(), five.get()}, 0);
        bool ok = o.returned && isUint16(o.outputs[0].get(), {40, 40, 2}) &&
                  nonzeros(elementsOf<uint16_t>(o.outputs[0].get())) == 2 &&
                  elementsOf<uint8_t>(I.get())[21 + 22 * 40 + 1600] == 254;
        if (ok && nlhs == 3) {
            ok = isDoubleMatrix(o.outputs[2].get(), 1, 1, {1});
        }
        expect(ok, what + ": the outputs asked for");
    }
    // Past 65535 tracks no track starts, and one warning says so.
    {
        const Array I = uint8Stack(trackStarters(4369, 17));
        mexstandin_console_clear();
        const std::vector<Array> out = allOutputs("vesquin4 past the track limit", I.get(), 3);
        expect(mexstandin_warning_count() == 1 && std::string(mexstandin_last_warning()) == kTrackLimit &&
                   std::string(mexstandin_console()) == std::string("Warning: ") + kTrackLimit + "\n",
               "vesquin4 past the track limit: one warning on the console");
        expect(!out.empty() && mxGetM(out[2].get()) == 65535 &&
                   mxGetPr(out[3].get())[65534] == 15,
               "vesquin4 past the track limit: 65535 tracks, the last starting in frame 15");
    }
    {
        const Array I = uint8Stack(trackStarters(4369, 16));
        mexstandin_console_clear();
        const std::vector<Array> out = allOutputs("vesquin4 at the track limit", I.get(), 3);
        expect(!out.empty() && mxGetM(out[2].get()) == 65535 && mexstandin_warning_count() == 0 &&
                   std::string(mexstandin_console()).empty(),
               "vesquin4 at exactly 65535 tracks: no warning");
    }
}

void vesquinRandomCases(int count) {
    for (int seed = 1; seed <= count; ++seed) {
        std::mt19937_64 rng(static_cast<uint64_t>(2000 + seed));
        const int rows = uniform(rng, 0, 9) == 0 ? uniform(rng, 0, 8) : uniform(rng, 8, 30);
        const int cols = uniform(rng, 0, 9) == 0 ? uniform(rng, 0, 8) : uniform(rng, 8, 30);
        const int frames = uniform(rng, 0, 9) == 0 ? uniform(rng, 0, 1) : uniform(rng, 2, 5);
        const int density = pick(rng, {2, 10, 50, 200});
        std::vector<uint8_t> I(static_cast<size_t>(rows) * cols * frames);
        for (uint8_t& v : I) {
            v = uniform(rng, 0, density) == 0 ? static_cast<uint8_t>(uniform(rng, 254, 255))
                                              : static_cast<uint8_t>(pick(rng, {0, 0, 0, 253, 17}));
        }
        const double maxDistance =
            pick(rng, {-1.0, 0.0, 2.9, 3.0, 4.5, 5.0, 8.0, 40.0, 2147483647.0, kNaN});
        TrackerOutcome expected;
        prepareTrackerOutcome(I, rows, cols, frames, expected);
        callTracker(reference::tracking, rows, cols, frames, truncateToInt32(maxDistance), expected);

        const Array stack = make(mxUINT8_CLASS, {static_cast<size_t>(rows), static_cast<size_t>(cols),
                                                 static_cast<size_t>(frames)},
                                 std::vector<double>(I.begin(), I.end()));
        const std::string what = "vesquin4 random case " + std::to_string(seed);
        const std::vector<Array> out = allOutputs(what, stack.get(), maxDistance);
        if (out.empty()) {
            continue;
        }
        const auto n = static_cast<size_t>(expected.count);
        bool same = elementsOf<uint8_t>(stack.get()) == expected.I &&
                    elementsOf<uint16_t>(out[0].get()) == expected.Itracks &&
                    elementsOf<uint16_t>(out[1].get()) == expected.Ptracks;
        const std::vector<double>* summaries[4] = {&expected.tracklength, &expected.trackstarts,
                                                   &expected.trackstartX, &expected.trackstartY};
        for (size_t k = 0; k < 4 && same; ++k) {
            same = isDoubleMatrix(out[2 + k].get(), n, 1,
                                  std::vector<double>(summaries[k]->begin(), summaries[k]->begin() + n));
        }
        expect(same, what + ": every output and the rewritten I as the reference's");
    }
}

// --- Loading -----------------------------------------------------------------------------

mexstandin_function loadModule(const char* path) {
#if defined(_WIN32)
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr) {
        std::printf("cannot load %s: error %lu\n", path, GetLastError());
        return nullptr;
    }
    // Through the generic function pointer type, which GCC takes as a deliberate cast.
    const auto entry = reinterpret_cast<void (*)()>(GetProcAddress(library, "mexFunction"));
    return reinterpret_cast<mexstandin_function>(entry);
#else
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::printf("cannot load %s: %s\n", path, dlerror());
        return nullptr;
    }
    return reinterpret_cast<mexstandin_function>(dlsym(library, "mexFunction"));
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: mex_driver <ombrisk|tavenor3|vesquin4> <module file>\n");
        return 2;
    }
    const std::string name = argv[1];
    module = loadModule(argv[2]);
    if (module == nullptr) {
        std::printf("%s: no mexFunction to call\n", argv[2]);
        return 1;
    }
    constexpr int kRandomCases = 300;
    if (name == "ombrisk") {
        ombriskMessages();
        ombriskWorkedCases();
        ombriskRandomCases(kRandomCases);
    } else if (name == "tavenor3") {
        tavenorMessages();
        tavenorWorkedCases();
        tavenorRandomCases(kRandomCases);
    } else if (name == "vesquin4") {
        vesquinMessages();
        vesquinWorkedCases();
        vesquinRandomCases(kRandomCases);
    } else {
        std::fprintf(stderr, "mex_driver: no module named %s\n", name.c_str());
        return 2;
    }
    expect(mxstandin_live_arrays() == 0, "every array is destroyed at the end");
    std::printf("%s: %d passed, %d failed\n", argv[2], passed, failed);
    return failed == 0 ? 0 : 1;
}
