// Views that own their block, and the bare column-pointer array.

#include <cstdlib>
#include <cstring>

#include "matx/matx.h"
#include "matx/operations_internal.h"

double** get_array(double* data, int32_t rows, int32_t cols) {
    return column_pointers(data, rows, cols);
}

// A view without columns has no col[0] to release a block through, so an owning view
// without columns is made with no block at all.
matx* mx_new(int32_t rows, int32_t cols) {
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    double* block = nullptr;
    if (cols > 0) {
        block = static_cast<double*>(allocate_elements(count, sizeof(double)));
        if (block == nullptr) {
            return nullptr;
        }
    }
    matx* view = mx_from_vector(block, rows, cols);
    if (view == nullptr) {
        std::free(block);
        return nullptr;
    }
    view->owner = 1;
    return view;
}

matx* mx_clone(const matx* source) {
    matx* copy = mx_new(source->m, source->n);
    if (copy == nullptr) {
        return nullptr;
    }
    if (source->m == 0) {
        return copy;
    }
    // memcpy, not assignment: negative zeros and NaN payloads survive bit for bit.
    for (int32_t j = 0; j < source->n; ++j) {
        std::memcpy(copy->col[j], source->col[j],
                    static_cast<std::size_t>(source->m) * sizeof(double));
    }
    return copy;
}

