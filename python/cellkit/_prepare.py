"""Preparing microscopy images for the functions: bright cells made dark for the flood, and
the background kept out of it."""

from __future__ import annotations

from typing import Optional, Union

import numpy as np
import numpy.typing as npt

from ._convert import dtype_hint

Background = Union[float, str, None]


def otsu_level(image: np.ndarray) -> float:
    """Otsu's threshold: the grey value from which the upper of two classes starts, chosen
    so that the variance between the classes is largest. Integer images are counted value
    by value, others in 256 bins; NaN is left out."""
    values = image[~np.isnan(image)] if image.dtype.kind == "f" else image.ravel()
    if values.size == 0:
        return 0.0
    low, high = values.min(), values.max()
    if low == high:
        return float(high)
    if values.dtype.kind in "iu" and int(high) - int(low) < 2**20:
        counts = np.bincount((values.astype(np.int64) - int(low)).ravel())
        starts = int(low) + np.arange(counts.size, dtype=np.float64)
    else:
        counts, edges = np.histogram(values, bins=256, range=(float(low), float(high)))
        starts = edges[:-1]
    counts = counts.astype(np.float64)
    # Class 0 holds the values below starts[k], class 1 the rest, for k = 1 .. bins-1.
    below = np.cumsum(counts)[:-1]
    above = values.size - below
    sum_below = np.cumsum(counts * starts)[:-1]
    sum_above = np.dot(counts, starts) - sum_below
    with np.errstate(invalid="ignore", divide="ignore"):
        between = below * above * (sum_below / below - sum_above / above) ** 2
    return float(starts[1 + int(np.nanargmax(between))])


def prepare(image: npt.ArrayLike, *, bright: bool = True,
            background: Background = "otsu") -> npt.NDArray[np.float64]:
    """The grey image that ombrisk floods, from a microscopy image.

    ombrisk floods dark cells and never floods values of 0 or below. A fluorescence image
    shows bright cells on a dark background, so it is inverted (the largest value becomes
    1, every cell pixel stays above 0), and the background is set to 0.

    Parameters
    ----------
    image : array_like, shape (rows, columns)
        Grey values of any real integer or floating dtype: 8-, 12- and 16-bit images alike,
        with no rescaling.
    bright : bool, keyword-only
        True (default) for bright cells on a dark background, which are inverted to
        ``image.max() + 1 - image``; False for cells that are dark already, which keep
        their values.
    background : float, "otsu" or None, keyword-only
        Pixels whose value in `image` lies below this level are background and set to 0.
        "otsu" (default): the pixels at or below Otsu's threshold of the image, as
        ``skimage.filters.threshold_otsu`` gives it, are background. None keeps every
        pixel.

    Returns
    -------
    ndarray of float64, shape (rows, columns)
        The grey values to flood: 0 for the background, NaN where `image` holds NaN or
        +-inf (never flooded), and above 0 elsewhere.

    Raises
    ------
    TypeError
        For an image of a bool, complex or other non-numeric dtype.
    ValueError
        For an image of other than two dimensions, or an unknown `background`.

    Examples
    --------
    The worked example's preparation, with its fixed background level:

    >>> import cellkit
    >>> image = cellkit.data.nuclei()
    >>> dark = cellkit.prepare(image, background=48)     # 256 - image, 0 below 48
    >>> int(cellkit.ombrisk(dark, 30, 5).max())
    305
    >>> int(cellkit.ombrisk(cellkit.prepare(image), 30, 5).max())    # Otsu: 0 up to 38
    308
    """
    array = np.asarray(image)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"image must hold real integers or floating-point numbers, not "
                        f"{array.dtype}: {dtype_hint(array.dtype)}")
    if array.ndim != 2:
        raise ValueError(f"image must have two dimensions (rows, columns), not {array.ndim}")
    grey = array.astype(np.float64)
    level: Optional[float]
    if background is None:
        level = None
    elif isinstance(background, str):
        if background != "otsu":
            raise ValueError(f"background must be a number, 'otsu' or None, not {background!r}")
        level = otsu_level(array)
    else:
        level = float(background)
    finite = np.isfinite(grey)
    if bright and finite.any():
        grey = (grey[finite].max() + 1.0) - grey
    # Neither inf nor -inf is a grey level: never flooded, like NaN.
    grey[~finite] = np.nan
    if level is not None:
        grey[array < level] = 0.0
    return grey
