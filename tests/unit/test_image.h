#pragma once

// A column-major image of doubles with a matx view over it, for the unit tests.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "matx/view_handle.h"

struct TestImage {
    int32_t m;
    int32_t n;
    std::vector<double> data;
    ViewHandle view;

    double at(int32_t r, int32_t c) const { return data[r + static_cast<std::size_t>(c) * m]; }
    void set(int32_t r, int32_t c, double value) {
        data[r + static_cast<std::size_t>(c) * m] = value;
    }
    matx* get() const { return view.get(); }
};

// Every element `value`. The block holds at least one element, so that even a view without
// elements lies over memory that exists.
inline TestImage filled(int32_t m, int32_t n, double value) {
    const std::size_t count = static_cast<std::size_t>(m) * static_cast<std::size_t>(n);
    TestImage image{m, n, std::vector<double>(count == 0 ? 1 : count, value), nullptr};
    image.view = make_view(image.data.data(), m, n);
    return image;
}

// Rows as written in the source, stored column-major.
inline TestImage fromRows(std::initializer_list<std::initializer_list<double>> rows) {
    const auto m = static_cast<int32_t>(rows.size());
    const auto n = static_cast<int32_t>(rows.begin()->size());
    TestImage image = filled(m, n, 0);
    int32_t r = 0;
    for (const auto& row : rows) {
        int32_t c = 0;
        for (double value : row) {
            image.set(r, c++, value);
        }
        ++r;
    }
    return image;
}
