#pragma once

// Inputs for the benchmarks: deterministic synthetic images and the real microscopy data,
// exported by bench/export_data.m into raw files (see readRawImage).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct BenchOptions {
    std::string dataDir;  // where export_data.m wrote the real images; empty: none
    bool quick = false;   // small workloads only, as a smoke test
    bool huge = false;    // add 8192 x 8192 images where a group scales up
};

// A benchmark group, registered by its source file with a static BenchRegistration.
struct BenchGroup {
    std::string name;
    std::function<void(const BenchOptions&)> run;
};
std::vector<BenchGroup>& benchGroups();
struct BenchRegistration {
    BenchRegistration(const std::string& name, std::function<void(const BenchOptions&)> run);
};

// A column-major image of doubles.
struct GreyImage {
    int32_t m = 0;
    int32_t n = 0;
    std::vector<double> pixels;
};

// Dark round cells of varied size on a brighter, noisy background, with grey values from 1 to
// `top` (255 for 8-bit, 65535 for 16-bit data). The same seed gives the same image.
GreyImage syntheticCells(int32_t m, int32_t n, double top, uint32_t seed);

// The top-left m x n corner.
GreyImage crop(const GreyImage& image, int32_t m, int32_t n);

// A raw file from export_data.m: int32 rows, cols, frames and element type (0 double,
// 1 uint8), then the elements in column-major order. Frames is 1 for an image.
struct RawArray {
    int32_t rows = 0;
    int32_t cols = 0;
    int32_t frames = 0;
    std::vector<double> doubles;
    std::vector<uint8_t> bytes;
};
// Returns false when the file is missing or malformed.
bool readRawArray(const std::string& path, RawArray& array);
GreyImage asGreyImage(const RawArray& array);
