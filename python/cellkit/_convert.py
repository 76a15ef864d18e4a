"""Argument checks and conversions shared by the functions: images to what the kernels'
module takes (float64 by rows or by columns, or the C-ordered arrays it converts itself),
parameters to doubles as MATLAB passes them, and the layout keywords."""

from __future__ import annotations

import math
import warnings
from typing import Literal, Union

import numpy as np
import numpy.typing as npt

from . import _core

Layout = Literal["python", "matlab"]
AxisOrder = Literal["trc", "rct"]
Number = Union[int, float, np.integer, np.floating, npt.NDArray[np.number]]

LAYOUTS = ("python", "matlab")
INT32_MAX = 2**31 - 1


def check_layout(layout: str) -> bool:
    """True for MATLAB's layout, False for Python's; anything else is refused."""
    if layout not in LAYOUTS:
        raise ValueError(f"layout must be 'python' or 'matlab', not {layout!r}")
    return layout == "matlab"


def dtype_hint(dtype: np.dtype) -> str:
    """What to do with an array of a dtype the functions do not take."""
    if dtype.kind == "b":
        return "convert a mask deliberately, e.g. mask.astype(np.uint8)"
    if dtype.kind == "c":
        return "pass the real part (a.real) or the magnitude (np.abs(a))"
    if dtype.kind in "mM":
        return "times and dates are no grey values"
    return "give a numeric array, e.g. np.asarray(values, dtype=float)"


def real_image(image: npt.ArrayLike, name: str) -> np.ndarray:
    """The image as an array of real numbers with two dimensions, or a refusal."""
    array = np.asarray(image)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real integers or floating-point numbers, not "
                        f"{array.dtype}: {dtype_hint(array.dtype)}")
    if array.ndim != 2:
        raise ValueError(f"{name} must have two dimensions (rows, columns), not {array.ndim}")
    return array


# C-ordered images of these dtypes go to the kernels' module as they are: the kernels read an
# image by rows as it lies, a float64 one as it is, and the module converts the others to
# float64 faster than numpy does.
CONVERTED_BY_CORE = (np.dtype(np.float64), np.dtype(np.uint8), np.dtype(np.uint16))


def grey_image(image: npt.ArrayLike, name: str) -> np.ndarray:
    """The image as the kernels' module takes it: a C-ordered float64, uint8 or uint16 array,
    which it reads by rows, or float64 in column-major (Fortran) order."""
    array = real_image(image, name)
    rows, cols = array.shape
    if rows > INT32_MAX or cols > INT32_MAX or rows * cols > INT32_MAX:
        raise ValueError(f"{name}: {_core.IMAGE_TOO_LARGE}")
    if array.flags.c_contiguous and array.dtype in CONVERTED_BY_CORE:
        return array
    # numpy rounds to the nearest double, as double() does (int64 beyond 2^53 included),
    # keeping a C-ordered image's order, which then needs no transposing.
    if array.flags.c_contiguous:
        return np.ascontiguousarray(array, dtype=np.float64)
    return np.asfortranarray(array, dtype=np.float64)


def real_number(value: Number, name: str, *, allow_nan: bool) -> float:
    """A real scalar parameter as a double, as MATLAB passes it to the module.

    Python ints beyond the doubles become +-inf, as double() makes them. NaN is refused
    unless allow_nan (MATLAB's layout takes whatever MATLAB takes)."""
    if isinstance(value, int) and not isinstance(value, bool):
        try:
            number = float(value)
        except OverflowError:
            number = math.inf if value > 0 else -math.inf
    else:
        array = np.asarray(value)
        if array.dtype.kind not in "iuf":
            raise TypeError(f"{name} must be a real number, not {type(value).__name__} of "
                            f"dtype {array.dtype}")
        if array.size != 1:
            raise ValueError(f"{name} must be a single number, not an array of {array.size} "
                             f"elements")
        number = float(array.reshape(()).astype(np.float64))
    if math.isnan(number) and not allow_nan:
        raise ValueError(f"{name} must be a number, not NaN")
    return number


def thread_count(value: int, name: str) -> int:
    """A count of threads: a whole number of at least 1. A call uses no more threads than its
    image has bands of rows for, so a larger count is passed on as the most a C int holds."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be a whole number, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return int(min(value, INT32_MAX))


def warn_useless(name: str, why: str) -> None:
    """A parameter that makes the call do nothing useful: the call goes on, with a word."""
    warnings.warn(f"{name}: {why}", UserWarning, stacklevel=3)
