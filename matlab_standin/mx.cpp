// libmx of the MATLAB stand-in: arrays, their classes, sizes and element blocks.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "matrix.h"
#include "mex_standin.h"

struct mxArray_tag {
    mxClassID classid;
    bool complex;
    bool sparse;
    std::vector<size_t> dims;  // at least two
    std::vector<int> dims32;   // the same, as the 32-bit API gives them
    size_t stored;             // elements in the blocks: all of them, or a sparse array's nonzeros
    void* real;                // nullptr when nothing is stored
    void* imag;                // complex arrays only
};

namespace {

long liveArrays = 0;

size_t elementSize(mxClassID classid) {
    switch (classid) {
        case mxLOGICAL_CLASS:
        case mxINT8_CLASS:
        case mxUINT8_CLASS:
            return 1;
        case mxCHAR_CLASS:
        case mxINT16_CLASS:
        case mxUINT16_CLASS:
            return 2;
        case mxSINGLE_CLASS:
        case mxINT32_CLASS:
        case mxUINT32_CLASS:
            return 4;
        case mxDOUBLE_CLASS:
        case mxINT64_CLASS:
        case mxUINT64_CLASS:
            return 8;
        default:  // cell, struct, function handle: no element block
            return 0;
    }
}

bool isNumericClass(mxClassID classid) {
    return classid >= mxDOUBLE_CLASS && classid <= mxUINT64_CLASS;
}

// Product of the sizes, or false when it does not fit.
bool countElements(const std::vector<size_t>& dims, size_t& count) {
    count = 1;
    for (size_t d : dims) {
        if (d != 0 && count > std::numeric_limits<size_t>::max() / d) {
            return false;
        }
        count *= d;
    }
    return true;
}

void releaseBlocks(mxArray* array) {
    std::free(array->real);
    std::free(array->imag);
    delete array;
}

// A new array with zero-filled blocks of `stored` elements; nullptr when memory runs out.
mxArray* makeArray(mxClassID classid, std::vector<size_t> dims, bool complex, bool sparse,
                   size_t stored) {
    while (dims.size() > 2 && dims.back() == 1) {
        dims.pop_back();
    }
    auto* array = new (std::nothrow) mxArray_tag{classid, complex, sparse, {}, {}, stored,
                                                 nullptr, nullptr};
    if (array == nullptr) {
        return nullptr;
    }
    try {
        array->dims = dims;
        for (size_t d : dims) {
            array->dims32.push_back(static_cast<int>(d));
        }
    } catch (const std::bad_alloc&) {
        delete array;
        return nullptr;
    }
    const size_t size = elementSize(classid);
    if (size > 0 && stored > 0) {
        array->real = std::calloc(stored, size);
        if (complex) {
            array->imag = std::calloc(stored, size);
        }
        if (array->real == nullptr || (complex && array->imag == nullptr)) {
            releaseBlocks(array);
            return nullptr;
        }
    }
    ++liveArrays;
    return array;
}

template <class T>
double firstAs(const void* block) {
    T value;
    std::memcpy(&value, block, sizeof value);
    return static_cast<double>(value);
}

}  // namespace

extern "C" {

bool mxIsDouble(const mxArray* pa) {
    return pa->classid == mxDOUBLE_CLASS;
}

bool mxIsUint8(const mxArray* pa) {
    return pa->classid == mxUINT8_CLASS;
}

bool mxIsComplex(const mxArray* pa) {
    return pa->complex;
}

bool mxIsSparse(const mxArray* pa) {
    return pa->sparse;
}

bool mxIsNumeric(const mxArray* pa) {
    return isNumericClass(pa->classid);
}

bool mxIsLogical(const mxArray* pa) {
    return pa->classid == mxLOGICAL_CLASS;
}

bool mxIsChar(const mxArray* pa) {
    return pa->classid == mxCHAR_CLASS;
}

mxClassID mxGetClassID(const mxArray* pa) {
    return pa->classid;
}

size_t mxGetElementSize(const mxArray* pa) {
    return elementSize(pa->classid);
}

size_t mxGetM(const mxArray* pa) {
    return pa->dims[0];
}

// Every dimension after the first, multiplied.
size_t mxGetN(const mxArray* pa) {
    size_t n = 1;
    for (size_t k = 1; k < pa->dims.size(); ++k) {
        n *= pa->dims[k];
    }
    return n;
}

const int* mxGetDimensions_700(const mxArray* pa) {
    return pa->dims32.data();
}

int mxGetNumberOfDimensions_700(const mxArray* pa) {
    return static_cast<int>(pa->dims.size());
}

double* mxGetPr(const mxArray* pa) {
    return static_cast<double*>(pa->real);
}

double* mxGetPi(const mxArray* pa) {
    return static_cast<double*>(pa->imag);
}

void* mxGetData(const mxArray* pa) {
    return pa->real;
}

// The first stored element as a double: the real part of a complex array, the first nonzero
// of a sparse one; 0 when nothing is stored.
double mxGetScalar(const mxArray* pa) {
    if (pa->real == nullptr) {
        return 0.0;
    }
    switch (pa->classid) {
        case mxDOUBLE_CLASS:
            return firstAs<double>(pa->real);
        case mxSINGLE_CLASS:
            return firstAs<float>(pa->real);
        case mxLOGICAL_CLASS:
            return firstAs<bool>(pa->real);
        case mxCHAR_CLASS:
            return firstAs<mxChar>(pa->real);
        case mxINT8_CLASS:
            return firstAs<int8_t>(pa->real);
        case mxUINT8_CLASS:
            return firstAs<uint8_t>(pa->real);
        case mxINT16_CLASS:
            return firstAs<int16_t>(pa->real);
        case mxUINT16_CLASS:
            return firstAs<uint16_t>(pa->real);
        case mxINT32_CLASS:
            return firstAs<int32_t>(pa->real);
        case mxUINT32_CLASS:
            return firstAs<uint32_t>(pa->real);
        case mxINT64_CLASS:
            return firstAs<int64_t>(pa->real);
        case mxUINT64_CLASS:
            return firstAs<uint64_t>(pa->real);
        default:
            return 0.0;
    }
}

mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity flag) {
    const int dims[2] = {m, n};
    return mxCreateNumericArray_700(2, dims, mxDOUBLE_CLASS, flag);
}

// Negative sizes count as 0; fewer than two dimensions make a column (or a 0 x 0 array).
mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid,
                                  mxComplexity flag) {
    if (!isNumericClass(classid)) {
        return nullptr;
    }
    std::vector<size_t> sizes;
    try {
        for (int k = 0; k < ndim; ++k) {
            sizes.push_back(dims[k] < 0 ? 0 : static_cast<size_t>(dims[k]));
        }
        while (sizes.size() < 2) {
            sizes.push_back(ndim == 1 ? 1 : 0);
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return mxstandin_create_array(classid, static_cast<int>(sizes.size()), sizes.data(), flag);
}

void mxDestroyArray(mxArray* pa) {
    if (pa != nullptr) {
        releaseBlocks(pa);
        --liveArrays;
    }
}

mxArray* mxstandin_create_array(mxClassID classid, int ndim, const size_t* dims,
                                mxComplexity flag) {
    std::vector<size_t> sizes(dims, dims + ndim);
    while (sizes.size() < 2) {
        sizes.push_back(1);
    }
    size_t count = 0;
    if (!countElements(sizes, count) ||
        (elementSize(classid) > 0 && count > std::numeric_limits<size_t>::max() / 8)) {
        return nullptr;
    }
    return makeArray(classid, sizes, flag == mxCOMPLEX && isNumericClass(classid), false, count);
}

mxArray* mxstandin_create_sparse(size_t m, size_t n, const double* full) {
    size_t nonzeros = 0;
    for (size_t k = 0; k < m * n; ++k) {
        nonzeros += full[k] != 0.0;
    }
    mxArray* array = makeArray(mxDOUBLE_CLASS, {m, n}, false, true, nonzeros);
    if (array != nullptr) {
        auto* values = static_cast<double*>(array->real);
        for (size_t k = 0; k < m * n; ++k) {
            if (full[k] != 0.0) {
                *values++ = full[k];
            }
        }
    }
    return array;
}

long mxstandin_live_arrays(void) {
    return liveArrays;
}

}  // extern "C"
