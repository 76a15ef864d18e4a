"""Preparing microscopy images for the functions: bright cells made dark for the flood, and
the background kept out of it."""

from __future__ import annotations

from typing import Optional, Union

import numpy as np
import numpy.typing as npt

from ._convert import dtype_hint, real_image

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
    array = real_image(image, "image")
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


def _gaussian_smooth(frame: np.ndarray, sigma: float) -> np.ndarray:
    """A Gaussian of standard deviation sigma, along the columns and then the rows, with
    the weights renormalised over the pixels inside the frame, so the border is not
    darkened (examples/smooth_image.m does the same in Octave)."""
    radius = int(np.ceil(3 * sigma))
    offsets = np.arange(-radius, radius + 1)
    weights = np.exp(-offsets.astype(np.float64) ** 2 / (2 * sigma ** 2))
    weights /= weights.sum()

    def along(values: np.ndarray, axis: int) -> np.ndarray:
        pad = [(0, 0), (0, 0)]
        pad[axis] = (radius, radius)
        padded = np.pad(values, pad)
        total = np.zeros_like(values)
        size = values.shape[axis]
        for weight, start in zip(weights, range(2 * radius + 1)):
            total += weight * np.take(padded, np.arange(start, start + size), axis=axis)
        return total

    smooth = along(along(frame.astype(np.float64), 0), 1)
    inside = along(along(np.ones(frame.shape), 0), 1)
    return smooth / inside


def _sliding_max(values: np.ndarray, axis: int, first: int, last: int) -> np.ndarray:
    """The largest value at offsets first..last along an axis, -inf beyond the frame."""
    size = values.shape[axis]
    pad = [(0, 0), (0, 0)]
    pad[axis] = (max(0, -first), max(0, last))
    padded = np.pad(values, pad, constant_values=-np.inf)
    result = np.full(values.shape, -np.inf)
    for offset in range(first, last + 1):
        start = offset + max(0, -first)
        result = np.maximum(result, np.take(padded, np.arange(start, start + size), axis=axis))
    return result


def _local_maxima(frame: np.ndarray, radius: int) -> np.ndarray:
    """The pixels that are the largest of the (2 radius + 1)^2 square around them. Of equal
    values the first in column-major order wins (the left one, then the upper one), so a
    flat top gives one maximum, as examples/local_maxima.m has it."""
    columns = _sliding_max(frame, 0, -radius, radius)
    whole = _sliding_max(columns, 1, -radius, radius)
    left = _sliding_max(columns, 1, -radius, -1)
    above = _sliding_max(frame, 0, -radius, -1)
    return (frame >= whole) & (frame > left) & (frame > above)


def maxima_markers(movie: npt.ArrayLike, *, sigma: float = 4.0, radius: int = 8,
                   floor: Background = "otsu") -> npt.NDArray[np.uint8]:
    """One marker per bright nucleus in each frame: the top of each smoothed nucleus.

    Each frame is smoothed with a Gaussian of `sigma` pixels; a marker (255) is every pixel
    that is the largest of the square of half-width `radius` around it and lies above
    `floor` in the smoothed frame. This is what the toolbox's vesquin4 example does.

    Parameters
    ----------
    movie : array_like, shape (frames, rows, columns) or (rows, columns)
        Grey values of any real integer or floating dtype: 8 or 16 bits alike.
    sigma : float, keyword-only
        The smoothing, about a third of a nucleus's radius. Default 4.
    radius : int, keyword-only
        Two markers are at least this far apart (in rows or columns): about a nucleus's
        radius. Default 8.
    floor : float, "otsu" or None, keyword-only
        Only tops above this smoothed value are markers: "otsu" (default) takes Otsu's
        threshold of each smoothed frame, None every top.

    Returns
    -------
    ndarray of uint8, the shape of `movie`
        255 at the markers, 0 elsewhere: the stack vesquin4 takes.

    Examples
    --------
    >>> import cellkit
    >>> markers = cellkit.maxima_markers(cellkit.data.mitocheck(), floor=12)
    >>> int((markers == 255).sum())           # 565 markers in 30 frames
    565
    >>> len(cellkit.vesquin4(markers, 10).length)
    25
    """
    array = np.asarray(movie)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"movie must hold real integers or floating-point numbers, not "
                        f"{array.dtype}: {dtype_hint(array.dtype)}")
    if array.ndim not in (2, 3):
        raise ValueError(f"movie must have three dimensions (frames, rows, columns) or two, "
                         f"not {array.ndim}")
    if not sigma > 0 or int(radius) < 1:
        raise ValueError(f"sigma must be above 0 and radius at least 1, not {sigma!r} and "
                         f"{radius!r}")
    frames = array if array.ndim == 3 else array[np.newaxis]
    markers = np.zeros(frames.shape, dtype=np.uint8)
    for t, frame in enumerate(frames):
        smooth = _gaussian_smooth(frame, sigma)
        tops = _local_maxima(smooth, int(radius))
        level = _floor_level(smooth, floor)
        if level is not None:
            tops &= smooth > level
        markers[t][tops] = 255
    return markers if array.ndim == 3 else markers[0]


def _floor_level(smooth: np.ndarray, floor: Background) -> Optional[float]:
    if floor is None:
        return None
    if isinstance(floor, str):
        if floor != "otsu":
            raise ValueError(f"floor must be a number, 'otsu' or None, not {floor!r}")
        # Otsu's threshold of the smoothed values: the pixels at or below it are background.
        return np.nextafter(otsu_level(smooth), -np.inf)
    return float(floor)


def centre_markers(labels: npt.ArrayLike) -> npt.NDArray[np.uint8]:
    """One marker per cell: the pixel nearest the centre of each labelled cell.

    Parameters
    ----------
    labels : array_like of integers, shape (frames, rows, columns) or (rows, columns)
        Cells numbered from 1, 0 for the background, as ombrisk gives them, frame by frame.

    Returns
    -------
    ndarray of uint8, the shape of `labels`
        255 at the pixel nearest each cell's centroid (rounded half to even), 0 elsewhere.

    Examples
    --------
    >>> import numpy as np
    >>> import cellkit
    >>> labels = np.zeros((7, 9), int)
    >>> labels[1:4, 1:4] = 1
    >>> labels[2:6, 5:9] = 2
    >>> np.argwhere(cellkit.centre_markers(labels))
    array([[2, 2],
           [4, 6]])
    """
    array = np.asarray(labels)
    if array.dtype.kind not in "iu":
        raise TypeError(f"labels must hold integers, not {array.dtype}")
    markers = np.zeros(array.shape, dtype=np.uint8)
    frames = array if array.ndim == 3 else array[np.newaxis]
    for t, frame in enumerate(frames):
        count = int(frame.max(initial=0)) + 1
        area = np.bincount(frame.ravel(), minlength=count)[1:]
        rows, cols = np.indices(frame.shape)
        present = area > 0
        centre_y = np.bincount(frame.ravel(), rows.ravel(), count)[1:][present] / area[present]
        centre_x = np.bincount(frame.ravel(), cols.ravel(), count)[1:][present] / area[present]
        target = markers[t] if array.ndim == 3 else markers
        target[np.rint(centre_y).astype(int), np.rint(centre_x).astype(int)] = 255
    return markers
