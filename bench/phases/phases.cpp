// Runs one module's algorithm on one image, a number of times, for the phase benchmark:
//   cellkit_phases ombrisk|ombrisk-rows|tavenor3|tavenor3-rows <image.raw> <runs> [celllevel]
// The image is the peer benchmark's raw format (bench/peer/inputs.py, write_double): two
// int32 sizes, rows and columns, then the doubles in column-major order. ombrisk runs with
// cell size limit 30 and threshold 5, as the peer benchmark has it. Prints the best time of
// the runs in nanoseconds a pixel. run_phases.sh runs it under perf and callgrind.
// ombrisk-rows and tavenor3-rows give the algorithm the image by rows and have the labels
// written by rows, as the Python binding does for a C-ordered array.

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "labeller/labeller.h"
#include "matx/view_handle.h"
#include "seedgrow/seedgrow.h"
#include "tests/reference/row_major.h"

namespace {

struct Image {
    int32_t m = 0;
    int32_t n = 0;
    std::vector<double> pixels;
};

bool readImage(const char* path, Image& image) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    int32_t sizes[2];
    bool ok = std::fread(sizes, sizeof(int32_t), 2, file) == 2 && sizes[0] >= 0 && sizes[1] >= 0;
    if (ok) {
        image.m = sizes[0];
        image.n = sizes[1];
        image.pixels.resize(static_cast<std::size_t>(image.m) * image.n);
        ok = std::fread(image.pixels.data(), sizeof(double), image.pixels.size(), file) ==
             image.pixels.size();
    }
    std::fclose(file);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: cellkit_phases ombrisk|ombrisk-rows|tavenor3|tavenor3-rows "
                     "<image.raw> <runs> [celllevel | threads]\n");
        return 2;
    }
    const std::string module = argv[1];
    Image image;
    if (!readImage(argv[2], image)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    const int runs = std::atoi(argv[3]);
    // tavenor3 takes its celllevel, ombrisk the threads it may use (1 unless given).
    const double celllevel = argc > 4 ? std::atof(argv[4]) : 0.0;
    const LabellerThreads threads{argc > 4 ? std::atoi(argv[4]) : 1};
    // A host calling the module again and again, as Python or Octave does, serves its blocks
    // from memory it keeps; so does this program, up to glibc's largest mmap threshold.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);

    const int32_t pixels = image.m * image.n;
    std::vector<double> labels(image.pixels.size());
    ViewHandle greyView = make_view(image.pixels.data(), image.m, image.n);
    ViewHandle labelView = make_view(labels.data(), image.m, image.n);
    const std::vector<double> greyRows = valuesByRows(*greyView);
    std::vector<int32_t> labelRows(image.pixels.size());
    double best = 1e300;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        if (module == "tavenor3") {
            GrowthScratch scratch = makeGrowthScratch(image.m, image.n);
            spreadingLabels(*greyView, *labelView, celllevel, scratch);
        } else if (module == "tavenor3-rows") {
            GrowthScratch scratch = makeGrowthScratch(image.m, image.n);
            spreadingLabelsRowMajor(GreyRows{greyRows.data(), image.m, image.n},
                                    labelRows.data(), celllevel, scratch);
        } else if (module == "ombrisk-rows") {
            const CellSizeTable cellSize = allocateCellSizeTable(pixels);
            labellingCellsRowMajor(GreyRows{greyRows.data(), image.m, image.n},
                                   labelRows.data(), cellSize.get(),
                                   largestGreyValue(greyRows.data(), pixels), 30, 5, threads);
        } else {
            const CellSizeTable cellSize = allocateCellSizeTable(pixels);
            labellingCellsOnThreads(*greyView, *labelView, cellSize.get(),
                                    largestGreyValue(image.pixels.data(), pixels), 30, 5, threads);
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    std::printf("%s %dx%d %.2f ns/pixel\n", module.c_str(), image.m, image.n,
                1e9 * best / static_cast<double>(pixels));
    return 0;
}
