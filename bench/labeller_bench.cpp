// The level-flooding labeller: the module's version against the plain reference.

#include <cstdio>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "bench/workloads.h"
#include "labeller/labeller.h"
#include "matx/view_handle.h"
#include "tests/reference/labeller_reference.h"

namespace {

constexpr double kCellSizeLimit = 30;
constexpr double kThreshold = 5;

using Driver = void (*)(const matx&, matx&, int32_t*, double, double, double);

// The output and the size table are made before the measurement, as the gateway makes them;
// with the input they count towards the peak memory.
Measurement timeLabeller(const GreyImage& image, Driver driver) {
    std::vector<double> grey = image.pixels;
    std::vector<double> labels(grey.size(), 0);
    std::vector<int32_t> cellSize(grey.size(), 0);
    ViewHandle greyView = make_view(grey.data(), image.m, image.n);
    ViewHandle labelView = make_view(labels.data(), image.m, image.n);
    const double maxGrey = largestGreyValue(grey.data(), image.m * image.n);
    const size_t callerBytes = grey.size() * (2 * sizeof(double) + sizeof(int32_t));
    return measure(
        [&] {
            driver(*greyView, *labelView, cellSize.data(), maxGrey, kCellSizeLimit, kThreshold);
        },
        callerBytes);
}

std::string sizeOf(const GreyImage& image) {
    return std::to_string(image.m) + "x" + std::to_string(image.n);
}

void compare(const std::string& name, const GreyImage& image, const std::string& note = "") {
    const Measurement plain = timeLabeller(image, reference::labellingCells);
    const Measurement fast = timeLabeller(image, labellingCells);
    report("labeller " + name + " " + sizeOf(image), plain, fast, note);
}

// Plain on a crop only, the fast version on the crop and on the whole image.
void compareOnCrop(const std::string& name, const GreyImage& image, int32_t side) {
    const GreyImage part = crop(image, side, side);
    compare(name, part, "crop of " + sizeOf(image) + ": plain would take too long");
    reportFastOnly("labeller " + name + " " + sizeOf(image), timeLabeller(image, labellingCells));
}

// Nanoseconds and peak bytes per pixel, for the note of a row.
std::string perPixel(const GreyImage& image, const Measurement& m) {
    const double pixels = static_cast<double>(image.m) * image.n;
    char note[80];
    std::snprintf(note, sizeof note, "%.0f ns/pixel, %.1f bytes/pixel", 1e9 * m.seconds / pixels,
                  static_cast<double>(m.peakBytes) / pixels);
    return note;
}

// The fast version alone on synthetic images from 512x512 to 8192x8192: time and memory per
// pixel as the image grows.
void scaleLabeller() {
    const struct {
        const char* name;
        double top;
    } ranges[] = {{"8-bit", 255}, {"16-bit", 65535}};
    for (const auto& range : ranges) {
        for (const int32_t side : {512, 2048, 4096, 8192}) {
            const GreyImage image = syntheticCells(side, side, range.top, 5);
            const Measurement fast = timeLabeller(image, labellingCells);
            reportFastOnly("labeller scaling " + std::string(range.name) + " " + sizeOf(image),
                           fast, perPixel(image, fast));
        }
    }
}

void benchLabeller(const BenchOptions& options) {
    if (options.quick) {
        compare("synthetic 8-bit", syntheticCells(64, 64, 255, 1));
        return;
    }
    compare("synthetic 8-bit", syntheticCells(512, 512, 255, 1));
    compareOnCrop("synthetic 8-bit", syntheticCells(2048, 2048, 255, 2), 1024);
    compareOnCrop("synthetic 16-bit", syntheticCells(512, 512, 65535, 3), 64);
    reportFastOnly("labeller synthetic 16-bit 2048x2048",
                   timeLabeller(syntheticCells(2048, 2048, 65535, 4), labellingCells));

    RawArray raw;
    if (readRawArray(options.dataDir + "/nuclei_human_cells.raw", raw)) {
        compare("nuclei_human_cells (8-bit)", asGreyImage(raw));
    }
    if (readRawArray(options.dataDir + "/bbbc022_u2os_nuclei_inverted.raw", raw)) {
        compare("bbbc022 nuclei (12-bit)", asGreyImage(raw));
    }
    if (readRawArray(options.dataDir + "/phase_contrast_t98g.raw", raw)) {
        compareOnCrop("phase contrast (16-bit)", asGreyImage(raw), 64);
    }
}

const BenchRegistration registration("labeller", benchLabeller);
// A group of its own: it runs without the plain version's long runs.
const BenchRegistration scalingRegistration("labeller-scaling", [](const BenchOptions& options) {
    if (!options.quick) {
        scaleLabeller();
    }
});

}  // namespace
