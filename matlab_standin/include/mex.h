/*
 * mex.h of the cellkit MATLAB stand-in.
 *
 * NOT MATLAB'S OWN HEADER. It stands in for the mex.h of MATLAB's External Interfaces
 * (libmex) for a module built with "mex -R2017b -compatibleArrayDims": the entry point a
 * module defines, and the calls of libmex that the toolbox's gateways make. See matrix.h.
 *
 *   - mexErrMsgTxt ends the running call and never returns;
 *   - mexPrintf writes to the host's console;
 *   - mexWarnMsgTxt shows a warning and returns.
 */
#ifndef CELLKIT_STANDIN_MEX_H
#define CELLKIT_STANDIN_MEX_H

#include "matrix.h"

#if defined(_WIN32)
#if defined(CELLKIT_STANDIN_BUILDING_MEX)
#define LIBMEX_API __declspec(dllexport)
#else
#define LIBMEX_API __declspec(dllimport)
#endif
/* A module's one export. */
#define MEXFUNCTION_LINKAGE __declspec(dllexport)
#else
#define LIBMEX_API __attribute__((visibility("default")))
#define MEXFUNCTION_LINKAGE __attribute__((visibility("default")))
#endif

#if defined(__GNUC__)
#define CELLKIT_STANDIN_NORETURN __attribute__((noreturn))
#define CELLKIT_STANDIN_PRINTF __attribute__((format(printf, 1, 2)))
#else
#define CELLKIT_STANDIN_NORETURN
#define CELLKIT_STANDIN_PRINTF
#endif

#ifdef __cplusplus
extern "C" {
#endif

MEXFUNCTION_LINKAGE void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

LIBMEX_API CELLKIT_STANDIN_NORETURN void mexErrMsgTxt(const char* message);
LIBMEX_API void mexWarnMsgTxt(const char* message);
LIBMEX_API CELLKIT_STANDIN_PRINTF int mexPrintf(const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
