/*
 * matrix.h of the cellkit MATLAB stand-in.
 *
 * NOT MATLAB'S OWN HEADER. It stands in for the matrix.h of MATLAB's External Interfaces
 * (libmx), as a MEX module built with "mex -R2017b -compatibleArrayDims" sees it, so that
 * the toolbox's MATLAB modules can be compiled, linked and run where no MATLAB is
 * installed. It declares only the part of the API that the toolbox's gateways call, written
 * from the API's public description:
 *
 *   - 32-bit dimensions: mwSize and mwIndex are int, and the calls that take or give
 *     dimensions are the "_700" entry points (mxGetDimensions_700, mxCreateDoubleMatrix_700,
 *     mxCreateNumericArray_700, mxGetNumberOfDimensions_700), reached through the usual
 *     names by the macros below;
 *   - mxGetM and mxGetN give size_t;
 *   - class ids and the complexity flag have MATLAB's values (double 6, uint8 9,
 *     uint16 11, mxREAL 0);
 *   - created numeric arrays are zero-filled, and an empty array has no element block
 *     (mxGetPr gives NULL).
 *
 * The host side of the stand-in (making arrays of any class, calling a module, reading its
 * console) is declared in mex_standin.h and is not part of MATLAB's API.
 */
#ifndef CELLKIT_STANDIN_MATRIX_H
#define CELLKIT_STANDIN_MATRIX_H

#include <stdbool.h>
#include <stddef.h>

#if !defined(MX_COMPAT_32)
#error "The cellkit MATLAB stand-in has only the 32-bit-dimension API: define MX_COMPAT_32"
#endif

#if defined(_WIN32)
#if defined(CELLKIT_STANDIN_BUILDING_MX)
#define LIBMX_API __declspec(dllexport)
#else
#define LIBMX_API __declspec(dllimport)
#endif
#else
#define LIBMX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int mwSize;
typedef int mwIndex;
typedef int mwSignedIndex;

typedef struct mxArray_tag mxArray;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS = 1,
    mxSTRUCT_CLASS = 2,
    mxLOGICAL_CLASS = 3,
    mxCHAR_CLASS = 4,
    mxVOID_CLASS = 5,
    mxDOUBLE_CLASS = 6,
    mxSINGLE_CLASS = 7,
    mxINT8_CLASS = 8,
    mxUINT8_CLASS = 9,
    mxINT16_CLASS = 10,
    mxUINT16_CLASS = 11,
    mxINT32_CLASS = 12,
    mxUINT32_CLASS = 13,
    mxINT64_CLASS = 14,
    mxUINT64_CLASS = 15,
    mxFUNCTION_CLASS = 16
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

typedef unsigned short mxChar;
typedef bool mxLogical;

#define mxGetDimensions mxGetDimensions_700
#define mxGetNumberOfDimensions mxGetNumberOfDimensions_700
#define mxCreateDoubleMatrix mxCreateDoubleMatrix_700
#define mxCreateNumericArray mxCreateNumericArray_700

LIBMX_API bool mxIsDouble(const mxArray* pa);
LIBMX_API bool mxIsUint8(const mxArray* pa);
LIBMX_API bool mxIsComplex(const mxArray* pa);
LIBMX_API bool mxIsSparse(const mxArray* pa);
LIBMX_API bool mxIsNumeric(const mxArray* pa);
LIBMX_API bool mxIsLogical(const mxArray* pa);
LIBMX_API bool mxIsChar(const mxArray* pa);
LIBMX_API mxClassID mxGetClassID(const mxArray* pa);
LIBMX_API size_t mxGetElementSize(const mxArray* pa);

LIBMX_API size_t mxGetM(const mxArray* pa);
LIBMX_API size_t mxGetN(const mxArray* pa);
LIBMX_API const int* mxGetDimensions_700(const mxArray* pa);
LIBMX_API int mxGetNumberOfDimensions_700(const mxArray* pa);

LIBMX_API double* mxGetPr(const mxArray* pa);
LIBMX_API double* mxGetPi(const mxArray* pa);
LIBMX_API void* mxGetData(const mxArray* pa);
LIBMX_API double mxGetScalar(const mxArray* pa);

LIBMX_API mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity flag);
LIBMX_API mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid,
                                            mxComplexity flag);
LIBMX_API void mxDestroyArray(mxArray* pa);

#ifdef __cplusplus
}
#endif

#endif
