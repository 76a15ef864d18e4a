// Views over memory that somebody else owns, and their release: all that a gateway needs of
// matx. The owning views are in owning_views.cpp, so that a module linked with the matx
// archive and calling only these gets nothing else of the library.

#include <cstdlib>

#include "matx/matx.h"
#include "matx/operations_internal.h"

matx* mx_from_vector(double* data, int32_t rows, int32_t cols) {
    double** columns = column_pointers(data, rows, cols);
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
