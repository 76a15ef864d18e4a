// Benchmark group "seedgrow": the module's seeded grower against the plain reference.
//
// Workloads: synthetic basins around ~200 single-pixel seeds on 512x512 images in the 8-bit,
// 12-bit and 16-bit ranges (seeds one above the seed level, everything else below it), the
// same 8-bit image without seeds and with a seed on every 20th pixel, and the real two-channel
// U2OS field prepared as in the grower's demo (bench/export_data.m), on the demo's 8-bit scale
// and on a 12-bit one. Where the plain version would run for more than a minute, both run on
// the middle of the image, and the fast version also on the whole image.
//
// Each call gets its input copied and its output made outside the measured region, as the
// host holds them; they count towards the peak, as does the scratch each version needs: the
// two position lists of the plain grower, the queue and batch of the fast one. The shortest
// of several runs is reported. Both versions' labels are compared bit for bit; a difference
// is reported in the note column.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "bench/workloads.h"
#include "matx/view_handle.h"
#include "seedgrow/seedgrow.h"
#include "tests/reference/growers.h"

namespace {

struct GrowerInput {
    GreyImage image;
    double celllevel = 0;
};

// The shortest of `repeats` runs of `calls` calls each; `labels` gets the last output.
Measurement timeGrower(Grower grower, const GrowerInput& input, int repeats, int calls,
                       std::vector<double>& labels) {
    const GreyImage& image = input.image;
    std::vector<double> grey = image.pixels;
    labels.assign(grey.size(), 0.0);
    ViewHandle greyView = make_view(grey.data(), image.m, image.n);
    ViewHandle labelView = make_view(labels.data(), image.m, image.n);
    const std::size_t callerBytes = 2 * grey.size() * sizeof(double);
    Measurement best;
    for (int k = 0; k < repeats; ++k) {
        const Measurement m = measure(
            [&] {
                for (int call = 0; call < calls; ++call) {
                    grower(*greyView, *labelView, input.celllevel);
                }
            },
            callerBytes);
        if (k == 0 || m.seconds < best.seconds) {
            best.seconds = m.seconds;
        }
        if (k == 0 || m.cpuSeconds < best.cpuSeconds) {
            best.cpuSeconds = m.cpuSeconds;
        }
        best.peakBytes = std::max(best.peakBytes, m.peakBytes);
    }
    return best;
}

std::string sizeOf(const GreyImage& image) {
    return std::to_string(image.m) + "x" + std::to_string(image.n);
}

int32_t labelCount(const std::vector<double>& labels) {
    double largest = 0;
    for (double label : labels) {
        largest = std::max(largest, label);
    }
    return static_cast<int32_t>(largest);
}

void compare(const std::string& name, const GrowerInput& input, int plainRepeats,
             const std::string& note = "", int calls = 1) {
    std::vector<double> plainLabels;
    std::vector<double> fastLabels;
    const Measurement plain =
        timeGrower(growWithReference, input, plainRepeats, calls, plainLabels);
    const Measurement fast = timeGrower(growWithModule, input, 5, calls, fastLabels);
    std::string text = std::to_string(labelCount(fastLabels)) + " labels";
    if (calls > 1) {
        text += ", " + std::to_string(calls) + " calls a run";
    }
    if (!note.empty()) {
        text += ", " + note;
    }
    if (plainLabels.size() != fastLabels.size() ||
        (!plainLabels.empty() && std::memcmp(plainLabels.data(), fastLabels.data(),
                                             plainLabels.size() * sizeof(double)) != 0)) {
        text += ", LABELS DIFFER";
    }
    report("seedgrow " + name + " " + sizeOf(input.image), plain, fast, text);
}

// The m x n middle of an image.
GreyImage middleOf(const GreyImage& image, int32_t m, int32_t n) {
    m = std::min(m, image.m);
    n = std::min(n, image.n);
    const int32_t top = (image.m - m) / 2;
    const int32_t left = (image.n - n) / 2;
    GreyImage part{m, n, std::vector<double>(static_cast<std::size_t>(m) * n)};
    for (int32_t c = 0; c < n; ++c) {
        for (int32_t r = 0; r < m; ++r) {
            part.pixels[r + static_cast<std::size_t>(c) * m] =
                image.pixels[(top + r) + static_cast<std::size_t>(left + c) * image.m];
        }
    }
    return part;
}

// Both versions on the middle of the image, then the fast one on the whole image.
void compareOnCrop(const std::string& name, const GrowerInput& input, int32_t m, int32_t n) {
    const GrowerInput part{middleOf(input.image, m, n), input.celllevel};
    compare(name, part, 1, "middle of " + sizeOf(input.image) + ": plain > 1 min on the whole");
    std::vector<double> labels;
    const Measurement fast = timeGrower(growWithModule, input, 3, 1, labels);
    reportFastOnly("seedgrow " + name + " " + sizeOf(input.image), fast,
                   std::to_string(labelCount(labels)) + " labels");
}

// Basins around `seeds` random seed pixels: the grey value rises with the distance to the
// nearest seed, with noise, and saturates at the top of the range, so that neighbouring
// regions meet on ridges and on flat saturated ground. Seeds sit at `top`, everything else
// at 0..top-1, and the seed level is top-1 (255 and 254 for 8-bit data).
GrowerInput seededBasins(int32_t m, int32_t n, double top, int32_t seeds, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> row(0, m - 1);
    std::uniform_int_distribution<int32_t> col(0, n - 1);
    std::vector<int32_t> seedRows(seeds);
    std::vector<int32_t> seedCols(seeds);
    for (int32_t k = 0; k < seeds; ++k) {
        seedRows[k] = row(rng);
        seedCols[k] = col(rng);
    }
    // In 8-bit units: 6 grey levels a pixel away from the seed, noise of 6.
    const double scale = top / 255.0;
    std::normal_distribution<double> noise(0.0, 6.0 * scale);
    GrowerInput input{{m, n, std::vector<double>(static_cast<std::size_t>(m) * n)}, top - 1};
    for (int32_t c = 0; c < n; ++c) {
        for (int32_t r = 0; r < m; ++r) {
            double nearest = 1e300;
            for (int32_t k = 0; k < seeds; ++k) {
                nearest = std::min(nearest, std::hypot(r - seedRows[k], c - seedCols[k]));
            }
            const double value = std::round(6.0 * scale * nearest + noise(rng));
            input.image.pixels[r + static_cast<std::size_t>(c) * m] =
                std::clamp(value, 0.0, top - 1);
        }
    }
    for (int32_t k = 0; k < seeds; ++k) {
        input.image.pixels[seedRows[k] + static_cast<std::size_t>(seedCols[k]) * m] = top;
    }
    return input;
}

// A seed on every `every`th pixel in storage order, over the basins of `base`.
GrowerInput denseSeeds(GrowerInput base, int32_t every) {
    for (std::size_t k = 0; k < base.image.pixels.size(); k += every) {
        base.image.pixels[k] = base.celllevel + 1;
    }
    return base;
}

GrowerInput withoutSeeds(GrowerInput base) {
    for (double& g : base.image.pixels) {
        g = std::min(g, base.celllevel);
    }
    return base;
}

// Dark cells (syntheticCells, 8-bit) with one seed at the bottom of each: a pixel that is the
// lowest of the 15 x 15 square around it (ties to the first in storage order) and lies well
// below the background. Seeds at 255 above celllevel 254; everything else at 1..253.
GrowerInput cellsWithSeeds(int32_t side, uint32_t seed) {
    GrowerInput input{syntheticCells(side, side, 253, seed), 254};
    std::vector<double>& g = input.image.pixels;
    constexpr int32_t kReach = 7;
    // The square's minimum, separably: along the columns, then along the rows.
    std::vector<double> down(g.size());
    std::vector<double> square(g.size());
    auto at = [side](int32_t r, int32_t c) { return r + static_cast<std::size_t>(c) * side; };
    for (int32_t c = 0; c < side; ++c) {
        for (int32_t r = 0; r < side; ++r) {
            double low = g[at(r, c)];
            for (int32_t d = std::max(0, r - kReach); d <= std::min(side - 1, r + kReach); ++d) {
                low = std::min(low, g[at(d, c)]);
            }
            down[at(r, c)] = low;
        }
    }
    for (int32_t c = 0; c < side; ++c) {
        for (int32_t r = 0; r < side; ++r) {
            double low = down[at(r, c)];
            for (int32_t d = std::max(0, c - kReach); d <= std::min(side - 1, c + kReach); ++d) {
                low = std::min(low, down[at(r, d)]);
            }
            square[at(r, c)] = low;
        }
    }
    // Flat bottoms give several minima side by side: keep one per square.
    for (int32_t c = 0; c < side; ++c) {
        for (int32_t r = 0; r < side; ++r) {
            const std::size_t k = at(r, c);
            if (g[k] == square[k] && g[k] < 0.6 * 253) {
                g[k] = 255;
                for (int32_t cc = c; cc <= std::min(side - 1, c + kReach); ++cc) {
                    for (int32_t rr = std::max(0, r - kReach); rr <= std::min(side - 1, r + kReach);
                         ++rr) {
                        square[at(rr, cc)] = -1;
                    }
                }
            }
        }
    }
    return input;
}

// The fast grower alone on growing images of the same kind: time and peak memory per pixel.
// The CPU time leaves out the waits of a machine that other work keeps busy.
void runScaling(const BenchOptions& options) {
    std::vector<int32_t> sides{256, 512, 1024, 2048, 4096};
    if (options.huge) {
        sides.push_back(8192);
    }
    for (int32_t side : sides) {
        const GrowerInput input = cellsWithSeeds(side, 20261209);
        std::vector<double> labels;
        const Measurement fast = timeGrower(growWithModule, input, side <= 1024 ? 5 : 2, 1, labels);
        const double pixels = static_cast<double>(side) * side;
        char note[160];
        std::snprintf(note, sizeof note,
                      "%d labels, %.1f ns a pixel (CPU time %.1f ns), %.1f bytes a pixel",
                      labelCount(labels), fast.seconds * 1e9 / pixels,
                      fast.cpuSeconds * 1e9 / pixels, static_cast<double>(fast.peakBytes) / pixels);
        reportFastOnly("seedgrow cells 8-bit " + sizeOf(input.image), fast, note);
    }
}

void runRealImage(const BenchOptions& options, const std::string& file, const std::string& name,
                  double celllevel) {
    RawArray raw;
    if (options.dataDir.empty() || !readRawArray(options.dataDir + "/" + file, raw) ||
        raw.doubles.empty()) {
        std::printf("%-44s skipped: %s not found in the data folder\n", name.c_str(), file.c_str());
        return;
    }
    compare(name, {asGreyImage(raw), celllevel}, 1);
}

void runSeedgrowBench(const BenchOptions& options) {
    if (options.quick) {
        compare("basins 8-bit, 8 seeds", seededBasins(64, 64, 255, 8, 1), 3);
        compare("worked example", {{1, 5, {0, 255, 0, 0, 255}}, 254}, 3, "", 10000);
        compare("basins 8-bit, 2 seeds", seededBasins(8, 8, 255, 2, 2), 3, "", 100);
        compare("largest value below 1", {{1, 5, {0.2, 0.9, 0.2, 0.2, 0.9}}, 0.5}, 3, "", 10000);
        return;
    }
    runScaling(options);
    const GrowerInput basins8 = seededBasins(512, 512, 255, 200, 20260612);
    compare("basins 8-bit, 200 seeds", basins8, 1);
    compare("basins 8-bit, seed every 20th pixel", denseSeeds(basins8, 20), 1);
    compare("basins 8-bit, no seed", withoutSeeds(basins8), 3);
    compare("basins 8-bit, 2 seeds", seededBasins(8, 8, 255, 2, 2), 5, "", 1000);
    compare("largest value below 1", {{1, 5, {0.2, 0.9, 0.2, 0.2, 0.9}}, 0.5}, 5, "", 100000);
    compareOnCrop("basins 12-bit, 200 seeds", seededBasins(512, 512, 4095, 200, 20260613), 128,
                  128);
    compareOnCrop("basins 16-bit, 200 seeds", seededBasins(512, 512, 65535, 200, 20260614), 48, 48);
    runRealImage(options, "bbbc022_u2os_grower_8bit.raw", "bbbc022 demo input (8-bit)", 254);
    // About 16 times as many levels as on the 8-bit scale: plain still under a minute.
    runRealImage(options, "bbbc022_u2os_grower_12bit.raw", "bbbc022 demo input (12-bit)", 4094);
}

const BenchRegistration registration("seedgrow", runSeedgrowBench);

}  // namespace
