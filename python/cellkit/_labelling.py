"""ombrisk and tavenor3: label images from grey images."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from . import _core
from ._convert import (Layout, Number, check_layout, grey_image, real_number, thread_count,
                       warn_useless)


def ombrisk(image: npt.ArrayLike, cell_size_limit: Number, threshold: Number, *,
            layout: Layout = "python", threads: int = 1) -> npt.NDArray[np.int32]:
    """Label dark cells in a grey image by flooding it level by level.

    The image is flooded at the levels 1, 2, 3, ... up to one above its largest grey
    value, so the darkest pixels (the lowest values above 0) are reached first. At every
    level

    - the pixels with ``0 < value <= level`` are marked as flooded;
    - existing cells grow into flooded pixels beside them, up to ten pixels;
    - every 5x5 window holding at least 11 flooded pixels that no cell has claimed starts
      a new cell, stamped as a full 5x5 square;
    - touching cells merge: side by side when either is small, one above the other when
      both are small, and always while the level is below `threshold`.

    Cells are dark: invert a fluorescence image (bright nuclei) before the call, and set
    its background to 0 so that it is never flooded.

    Parameters
    ----------
    image : array_like, shape (rows, columns)
        Grey values of any real integer or floating dtype, converted to float64 as
        MATLAB's ``double()`` converts them (to the nearest double). Values of 0 or below,
        -inf and NaN are never flooded. 8-, 12- and 16-bit images need no rescaling.
    cell_size_limit : float
        A cell is small while the number of pixels it has gained by growing and merging is
        below this; small touching cells merge. About the area of the smallest cell to keep
        whole, e.g. 30.
    threshold : float
        While the level is below it, touching cells merge whatever their size, so dark
        clusters reached in the first ``threshold - 1`` levels end as one cell. A small
        value, e.g. 5, or 0 for no forced merges.
    layout : {"python", "matlab"}, keyword-only
        "python" (default): cells numbered 1..n. "matlab": the values of MATLAB's ``B``.
    threads : int, keyword-only
        How many threads the call may use, 1 (default) or more. The labels are the same for
        every count. On an image of 2048x2048 pixels or more, the sort of its pixels by
        level and each level's flooding and growing are shared among the threads in bands
        of rows; smaller images, and the levels' other steps, run on the calling thread.
        To label many images, calling on several images at once from a thread pool gains
        more (the GIL is released).

    Returns
    -------
    labels : ndarray of int32, shape (rows, columns), C order
        With ``layout="python"``: 0 for the background and the cells numbered 1 to
        ``labels.max()`` without gaps, in the order of MATLAB's labels (the cell with the
        lowest MATLAB label is 1). With ``layout="matlab"``: MATLAB's ``B``, that is 0
        where never flooded, 1 where flooded but in no cell, and cells from 2 up with gaps
        where cells were merged away.

    Raises
    ------
    TypeError
        For a bool, complex, string or object image, a parameter that is no real number, or
        `threads` that is no whole number.
    ValueError
        For an image of other than two dimensions, of more than 2**31 - 1 pixels, or holding
        inf or values of 2**53 - 1 or more (its levels would never end); for a parameter of
        more than one element; for a NaN parameter (allowed in MATLAB's layout, as MATLAB
        allows it: a NaN limit makes no cell small, a NaN threshold forces no merge); for
        `threads` below 1.

    See Also
    --------
    tavenor3 : grow cells from one seed pixel each.

    Notes
    -----
    A new cell's 5x5 stamp covers whatever lies under it, so a cell can hold a few pixels
    that were never flooded (0 or below, or NaN) where they border flooded ones. Row 0,
    the last row, column 0 and the last column are never part of a new cell's square;
    images with fewer than 7 rows or columns get no cells.

    The run time grows with the number of pixels, and little with the grey range: levels at
    which nothing floods cost next to nothing, so a 16-bit image takes up to a third more
    time a pixel than an 8-bit one of the same shapes. The working memory is a few tens of
    bytes a pixel. The toolbox's ``bench/README.md`` has the measured figures. The input is
    not modified, and the call releases the GIL while it runs.

    Examples
    --------
    >>> import numpy as np
    >>> import cellkit
    >>> image = cellkit.data.nuclei()       # uint8, bright nuclei on a dark background
    >>> dark = 256 - image.astype(float)    # nuclei become dark, every value above 0
    >>> dark[image < 48] = 0                # background: never flooded
    >>> labels = cellkit.ombrisk(dark, 30, 5)
    >>> labels.max()                        # the nuclei are 1..305
    305
    >>> np.array_equal(np.unique(labels), np.arange(306))
    True
    >>> cellkit.ombrisk(dark, 30, 5, layout="matlab").max()   # MATLAB's labels have gaps
    333
    """
    matlab = check_layout(layout)
    grey = grey_image(image, "image")
    return _core.ombrisk(grey, real_number(cell_size_limit, "cell_size_limit", allow_nan=matlab),
                         real_number(threshold, "threshold", allow_nan=matlab), matlab,
                         thread_count(threads, "threads"))


def tavenor3(image: npt.ArrayLike, cell_level: Number, *,
             layout: Layout = "python") -> npt.NDArray[np.int32]:
    """Grow a label from every seed pixel of a grey image over rising levels.

    Every pixel whose value lies strictly above `cell_level` is a seed and starts a label
    of its own: 1, 2, 3, ... in row-by-row order (along row 0, then row 1, and so on), so
    neighbouring seed pixels get different labels. The labels then spread one pixel ring
    per level into unlabelled neighbours (left, right, up, down) whose value lies strictly
    below the level. The level starts at 1.0 and rises by 0.05 for as long as it does not
    exceed the largest value of the image. A labelled pixel does not spread at a level at
    which it touches a pixel of another label. A last pass widens every region by one pixel
    into its unlabelled neighbours.

    So dark pixels are reached first, and where two labels meet the border stays where
    they met. Give each cell exactly one seed pixel: a seed region of several pixels is
    several labels that touch one another, and they never spread (only the last pass
    widens them).

    Parameters
    ----------
    image : array_like, shape (rows, columns)
        Grey values with the seed pixels above `cell_level`, of any real integer or floating
        dtype, converted to float64 as MATLAB's ``double()`` converts them. The usual
        layout is 8-bit: grey values 0..253, seeds at 255, `cell_level` 254; 16-bit values
        need no rescaling. NaN pixels are never seeds and never labelled: use NaN for
        background that no cell may take.
    cell_level : float
        The seed level.
    layout : {"python", "matlab"}, keyword-only
        Accepted for symmetry with the other functions: both give the same labels, which
        already run 1..n without gaps. "matlab" takes a NaN `cell_level` as MATLAB does.

    Returns
    -------
    labels : ndarray of int32, shape (rows, columns), C order
        0 where no label reached, and the labels 1 to ``labels.max()``, one per seed pixel,
        elsewhere: the values of MATLAB's ``B``. Every label is present, at least at its
        seed.

    Raises
    ------
    TypeError
        For a bool, complex, string or object image, or a `cell_level` that is no real
        number.
    ValueError
        For an image of other than two dimensions, of more than 2**31 - 1 pixels, or holding
        inf or values of 2**49 or more (its levels would never end); for a NaN `cell_level`
        (in MATLAB's layout it gives no seed, as in MATLAB).

    Warns
    -----
    UserWarning
        When no pixel lies above `cell_level`: there is no seed, and every label is 0.

    See Also
    --------
    ombrisk : label dark cells without seeds.

    Notes
    -----
    The run time grows with the number of pixels the labels reach, and little with the grey
    range: a 16-bit image takes a quarter to a third more time a pixel than an 8-bit one of
    the same shapes. The toolbox's ``bench/README.md`` has the measured figures. The input
    is not modified, and the call releases the GIL while it runs.

    Examples
    --------
    The rule on a tiny image: the first seed claims both its neighbours at level 1.0, the
    second seed claims column 3, and column 2 then touches label 2 and stops.

    >>> import cellkit
    >>> cellkit.tavenor3([[0, 255, 0, 0, 255], [0, 0, 0, 0, 0]], 254)
    array([[1, 1, 1, 2, 2],
           [1, 1, 1, 2, 2]], dtype=int32)
    """
    matlab = check_layout(layout)
    grey = grey_image(image, "image")
    level = real_number(cell_level, "cell_level", allow_nan=matlab)
    labels = _core.tavenor3(grey, level)
    if labels.size > 0 and not labels.any():
        warn_useless("cell_level", f"no pixel lies above {level:g}, so there is no seed and "
                     f"every label is 0")
    return labels
