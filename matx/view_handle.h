#pragma once

#include <memory>
#include <new>

#include "matx/matx.h"

// A view released by mx_free when it goes out of scope, so that an early exit (an error,
// a failed allocation) leaks nothing.
struct ViewReleaser {
    void operator()(matx* view) const { mx_free(view); }
};
using ViewHandle = std::unique_ptr<matx, ViewReleaser>;

// A non-owning view over `data`; throws std::bad_alloc when the view cannot be made.
inline ViewHandle make_view(double* data, int32_t rows, int32_t cols) {
    ViewHandle view(mx_from_vector(data, rows, cols));
    if (!view) {
        throw std::bad_alloc();
    }
    return view;
}
