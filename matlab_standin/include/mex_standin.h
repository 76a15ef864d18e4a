/*
 * The host side of the cellkit MATLAB stand-in: what MATLAB itself does around a MEX call,
 * for the programs that load and drive the toolbox's MATLAB modules where no MATLAB is
 * installed. None of this is MATLAB's API, and no module calls it.
 */
#ifndef CELLKIT_STANDIN_MEX_STANDIN_H
#define CELLKIT_STANDIN_MEX_STANDIN_H

#include "mex.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An array of any class and size, as MATLAB would pass it in: numeric, logical and char
 * arrays get a zero-filled element block (numeric ones a second block when complex); cell,
 * struct and function handle arrays have no element block. Trailing singleton dimensions
 * past the second are dropped, as MATLAB does. */
LIBMX_API mxArray* mxstandin_create_array(mxClassID classid, int ndim, const size_t* dims,
                                          mxComplexity flag);
/* A real sparse double matrix holding the nonzero elements of `full` (m x n, column-major):
 * mxGetPr gives those elements in column order. */
LIBMX_API mxArray* mxstandin_create_sparse(size_t m, size_t n, const double* full);
/* Arrays created and not yet destroyed, the host's own included. */
LIBMX_API long mxstandin_live_arrays(void);

typedef void (*mexstandin_function)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

/* Calls a module's mexFunction as MATLAB does. Returns 1 when the call returned, 0 when
 * mexErrMsgTxt ended it; its message is then mexstandin_error_message(). */
LIBMEX_API int mexstandin_call(mexstandin_function function, int nlhs, mxArray* plhs[], int nrhs,
                               const mxArray* prhs[]);
LIBMEX_API const char* mexstandin_error_message(void);

/* The console: everything mexPrintf and mexWarnMsgTxt wrote since the last clear. A warning
 * is shown as "Warning: <message>" on a line of its own. */
LIBMEX_API const char* mexstandin_console(void);
LIBMEX_API void mexstandin_console_clear(void);
/* Warnings given since the last clear, and the text of the last one. */
LIBMEX_API int mexstandin_warning_count(void);
LIBMEX_API const char* mexstandin_last_warning(void);

#ifdef __cplusplus
}
#endif

#endif
