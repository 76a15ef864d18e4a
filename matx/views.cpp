#include <cstdlib>
#include <cstring>

#include "matx/matx.h"

namespace {

// Column j starts j*rows doubles into the block. The offset is advanced by pointer steps,
// one column at a time, so no integer product can overflow on the way.
void point_columns(double** columns, double* data, int32_t rows, int32_t cols) {
    double* column = data;
    for (int32_t j = 0; j < cols; ++j) {
        columns[j] = column;
        column += rows;
    }
}

// malloc(0) may give a null pointer; for an empty array that is not a failure.
void* allocate(std::size_t count, std::size_t size) {
    return count == 0 ? std::malloc(1) : std::malloc(count * size);
}

}  // namespace

double** get_array(double* data, int32_t rows, int32_t cols) {
    auto** columns =
        static_cast<double**>(allocate(static_cast<std::size_t>(cols), sizeof(double*)));
    if (columns != nullptr) {
        point_columns(columns, data, rows, cols);
    }
    return columns;
}

matx* mx_from_vector(double* data, int32_t rows, int32_t cols) {
    double** columns = get_array(data, rows, cols);
    if (columns == nullptr) {
        return nullptr;
    }
    auto* view = static_cast<matx*>(std::malloc(sizeof(matx)));
    if (view == nullptr) {
        std::free(columns);
        return nullptr;
    }
    view->col = columns;
    view->m = rows;
    view->n = cols;
    view->owner = 0;
    return view;
}

// A view without columns has no col[0] to release a block through, so an owning view
// without columns is made with no block at all.
matx* mx_new(int32_t rows, int32_t cols) {
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    double* block = nullptr;
    if (cols > 0) {
        block = static_cast<double*>(allocate(count, sizeof(double)));
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

void mx_free(matx* view) {
    if (view == nullptr) {
        return;
    }
    if (view->owner == 1 && view->n > 0) {
        std::free(view->col[0]);
    }
    std::free(view->col);
    std::free(view);
}
