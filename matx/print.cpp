// The view as text on the host's console.

#include "matx/matx.h"
#include "mex/console.h"

namespace {
constexpr char kElementFormat[] = " %f";
constexpr char kRowEnd[] = "\n";
}  // namespace

void mx_print(const matx* view) {
    // Row by row, unlike every other operation: the text reads as the matrix looks. Each
    // element is rounded to single precision first, so 16777217 prints as 16777216.000000.
    for (int32_t i = 0; i < view->m; ++i) {
        for (int32_t j = 0; j < view->n; ++j) {
            console_printf(kElementFormat,
                           static_cast<double>(static_cast<float>(view->col[j][i])));
        }
        console_printf(kRowEnd);
    }
}
