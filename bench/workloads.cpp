#include "bench/workloads.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <random>

std::vector<BenchGroup>& benchGroups() {
    static std::vector<BenchGroup> groups;
    return groups;
}

BenchRegistration::BenchRegistration(const std::string& name,
                                     std::function<void(const BenchOptions&)> run) {
    benchGroups().push_back({name, std::move(run)});
}

GreyImage syntheticCells(int32_t m, int32_t n, double top, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.03 * top);
    GreyImage image{m, n, std::vector<double>(static_cast<size_t>(m) * n)};
    for (double& g : image.pixels) {
        g = 0.8 * top + noise(rng);
    }
    // About one cell per 1700 pixels, as in a moderately dense culture.
    const int32_t cells = std::max(1, static_cast<int32_t>(static_cast<int64_t>(m) * n / 1700));
    std::uniform_int_distribution<int32_t> row(0, m - 1);
    std::uniform_int_distribution<int32_t> col(0, n - 1);
    std::uniform_real_distribution<double> radius(5.0, 14.0);
    std::uniform_real_distribution<double> depth(0.08, 0.45);
    for (int32_t k = 0; k < cells; ++k) {
        const int32_t cr = row(rng);
        const int32_t cc = col(rng);
        const double r = radius(rng);
        const double floor = depth(rng) * top;
        const int32_t reach = static_cast<int32_t>(std::ceil(r));
        for (int32_t c = std::max(0, cc - reach); c <= std::min(n - 1, cc + reach); ++c) {
            for (int32_t rr = std::max(0, cr - reach); rr <= std::min(m - 1, cr + reach); ++rr) {
                const double d = std::hypot(rr - cr, c - cc) / r;
                if (d <= 1.0) {
                    double& g = image.pixels[rr + static_cast<size_t>(c) * m];
                    g = std::min(g, floor + (0.8 * top - floor) * d * d);
                }
            }
        }
    }
    for (double& g : image.pixels) {
        g = std::clamp(std::round(g), 1.0, top);
    }
    return image;
}

GreyImage crop(const GreyImage& image, int32_t m, int32_t n) {
    m = std::min(m, image.m);
    n = std::min(n, image.n);
    GreyImage part{m, n, std::vector<double>(static_cast<size_t>(m) * n)};
    for (int32_t c = 0; c < n; ++c) {
        std::copy_n(image.pixels.begin() + static_cast<std::ptrdiff_t>(c) * image.m, m,
                    part.pixels.begin() + static_cast<std::ptrdiff_t>(c) * m);
    }
    return part;
}

bool readRawArray(const std::string& path, RawArray& array) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    int32_t header[4];
    bool ok = std::fread(header, sizeof header, 1, file) == 1 && header[0] >= 0 && header[1] >= 0 &&
              header[2] >= 0 && (header[3] == 0 || header[3] == 1);
    if (ok) {
        array.rows = header[0];
        array.cols = header[1];
        array.frames = header[2];
        const size_t count = static_cast<size_t>(header[0]) * header[1] * header[2];
        if (header[3] == 0) {
            array.doubles.resize(count);
            ok = std::fread(array.doubles.data(), sizeof(double), count, file) == count;
        } else {
            array.bytes.resize(count);
            ok = std::fread(array.bytes.data(), 1, count, file) == count;
        }
    }
    std::fclose(file);
    return ok;
}

GreyImage asGreyImage(const RawArray& array) {
    return {array.rows, array.cols * array.frames, array.doubles};
}
