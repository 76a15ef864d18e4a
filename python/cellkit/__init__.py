"""cellkit: label and track cells in microscopy images.

The same C++ functions as the toolbox's MATLAB/Octave modules, for numpy arrays, with the
same results:

    ombrisk(image, cell_size_limit, threshold)   label dark cells by level flooding
    tavenor3(image, celllevel)                   grow labels from seed pixels
    vesquin4(stack, max_distance)                link cell markers of consecutive frames
    tracks_table(tracks)                         the tracks as rows [track_id, t, y, x]

Indexing: ``image[r, c]`` is MATLAB's ``A(r+1, c+1)``; a stack is ``stack[r, c, t]``
(``axis_order="trc"`` takes ``stack[t, r, c]``). Images of any real integer or floating
dtype, C or Fortran order or any strided view, are converted exactly as MATLAB's
``double()`` converts them (to the nearest double). Inputs are never modified, except the
stack of ``vesquin4(..., inplace=True)``.

The functions release the GIL while they run and keep no state, so they may be called from
several threads at once (a thread pool, Dask's threaded or distributed scheduler).
"""

import math
import warnings
from typing import NamedTuple

import numpy as np

from . import _core

__version__ = _core.__version__

__all__ = ["ombrisk", "tavenor3", "vesquin4", "tracks_table", "Tracks", "TRACKS_COLUMNS",
           "__version__"]

# The column names of tracks_table, for pandas.DataFrame(table, columns=TRACKS_COLUMNS).
TRACKS_COLUMNS = ("track_id", "t", "y", "x")

_INT32_MAX = 2**31 - 1

def _grey_image(image, name):
    """The image as the kernels take it: float64 in column-major (Fortran) order."""
    array = np.asarray(image)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real integers or floating-point numbers, "
                        f"not {array.dtype} (convert bool masks with .astype(float))")
    if array.ndim != 2:
        raise ValueError(f"{name} must have two dimensions (rows, columns), not {array.ndim}")
    rows, cols = array.shape
    if rows > _INT32_MAX or cols > _INT32_MAX or rows * cols > _INT32_MAX:
        raise ValueError(f"{name}: {_core.IMAGE_TOO_LARGE}")
    # numpy rounds to the nearest double, as double() does (int64 beyond 2^53 included).
    return np.asfortranarray(array, dtype=np.float64)


def _real_number(value, name):
    """A real scalar parameter as a double, as MATLAB passes it to the module."""
    if isinstance(value, int) and not isinstance(value, bool):
        try:
            return float(value)
        except OverflowError:  # beyond the doubles, as double() gives it
            return math.copysign(math.inf, value)
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be a real number, not {type(value).__name__} "
                        f"of dtype {array.dtype}")
    if array.size != 1:
        raise ValueError(f"{name} must be a single number, not an array of {array.size} "
                         f"elements")
    return float(array.reshape(()).astype(np.float64))


def ombrisk(image, cell_size_limit, threshold):
    """Label dark cells in a grey image by flooding it level by level.

    labels = ombrisk(image, cell_size_limit, threshold)

    The image is flooded at the levels 1, 2, 3, ... up to one above its largest grey value,
    so the darkest pixels (the lowest values above 0) are reached first. At every level

    - the pixels with 0 < value <= level are marked as flooded;
    - existing cells grow into flooded pixels beside them, up to ten pixels;
    - every 5x5 window holding at least 11 flooded pixels that no cell has claimed starts
      a new cell (a full 5x5 square);
    - touching cells merge: side by side when either is small, one above the other when
      both are small, and always while the level is below threshold.

    Cells are dark: invert a fluorescence image (bright nuclei) before the call, and set
    the background to 0 so that it is never flooded.

    Parameters
    ----------
    image : array_like, 2-D, (rows, columns)
        The grey values, any real integer or floating dtype, converted to float64 as
        MATLAB's double() does. Values of 0 or below, -inf and NaN are never flooded. Must
        not hold inf or values of 2**53 - 1 or more (ValueError). bool, complex and object
        arrays raise TypeError.
    cell_size_limit : real number
        A cell is small while the number of pixels it has gained by growing and merging is
        below it; small touching cells merge. About the area of the smallest cell to keep
        whole, e.g. 30.
    threshold : real number
        While the level is below it, touching cells merge whatever their size, so dark
        clusters reached in the first threshold - 1 levels end as one cell. A small value,
        e.g. 5, or 0 for no forced merges.

    Returns
    -------
    labels : numpy.ndarray of int32, (rows, columns), C order
        0 where never flooded (value above every level, 0 or below, or NaN), 1 where
        flooded but in no cell, and cell labels from 2 up, the same numbers as MATLAB's B.
        Labels are not renumbered: labels that were merged away leave gaps, so list the
        cells with ``np.unique(labels[labels > 1])``. Row 0, the last row, column 0 and the
        last column are never part of a new cell's square; images with fewer than 7 rows or
        columns get no cells.

    The input is not modified. Run time grows with the largest grey value (one level per
    grey unit): rescale 16-bit images to a few hundred grey levels when that is enough.

    Example (in the source folder, whose data/ holds the images)
    --------------------------------------------------------------
    >>> from PIL import Image
    >>> a = np.asarray(Image.open("data/nuclei_human_cells.png"))  # uint8, bright nuclei
    >>> d = 256 - a.astype(float)     # nuclei become dark, every value above 0
    >>> d[a < 48] = 0                 # background: never flooded
    >>> labels = cellkit.ombrisk(d, 30, 5)
    >>> len(np.unique(labels[labels > 1]))   # 305 nuclei
    """
    grey = _grey_image(image, "image")
    return _core.ombrisk(grey, _real_number(cell_size_limit, "cell_size_limit"),
                         _real_number(threshold, "threshold"))


def tavenor3(image, celllevel):
    """Grow a label from every seed pixel of a grey image over rising levels.

    labels = tavenor3(image, celllevel)

    Every pixel whose value lies strictly above celllevel is a seed and starts a label of
    its own: 1, 2, 3, ... in row-by-row order (along row 0, then row 1, and so on), so
    neighbouring seed pixels get different labels. The labels then spread one pixel ring
    per level into unlabelled neighbours (left, right, up, down) whose value lies strictly
    below the level. The level starts at 1.0 and rises by 0.05 for as long as it does not
    exceed the largest value of the image. A labelled pixel does not spread at a level at
    which it touches a pixel of another label. A last pass widens every region by one pixel
    into its unlabelled neighbours.

    So dark pixels are reached first, and where two labels meet the border stays where they
    met. Give each cell exactly ONE seed pixel: a seed region of several pixels is several
    labels that touch one another, and they never spread (only the last pass widens them).

    Parameters
    ----------
    image : array_like, 2-D, (rows, columns)
        The grey values with the seed pixels above celllevel, any real integer or floating
        dtype, converted to float64 as MATLAB's double() does. The usual layout is 8-bit:
        grey values 0..253, seeds at 255, celllevel 254. NaN pixels are never seeds and
        never labelled: use NaN for background that no cell may take. Must not hold inf or
        values of 2**49 or more (ValueError). bool, complex and object arrays raise
        TypeError.
    celllevel : real number
        The seed level.

    Returns
    -------
    labels : numpy.ndarray of int32, (rows, columns), C order
        0 where no label reached, and the labels 1, 2, 3, ..., one per seed pixel,
        elsewhere: the same numbers as MATLAB's B. Every label from 1 to labels.max() is
        present (at least at its seed), so the number of regions is labels.max().

    The input is not modified. Run time grows with the number of pixels the labels reach.

    Example: the rule on a tiny image
    ---------------------------------
    >>> cellkit.tavenor3([[0, 255, 0, 0, 255], [0, 0, 0, 0, 0]], 254)
    array([[1, 1, 1, 2, 2],
           [1, 1, 1, 2, 2]], dtype=int32)
    """
    grey = _grey_image(image, "image")
    return _core.tavenor3(grey, _real_number(celllevel, "celllevel"))


class Tracks(NamedTuple):
    """What vesquin4 returns; the first six fields are MATLAB's six outputs, in order.

    n is the number of tracks, at most 65535; track ids run from 1 to n in the order the
    tracks start. Values marked 1-based are as in MATLAB.

    itracks : uint16, the stack's shape and axis order
        The track id (1..n) at every marker that belongs to a track, 0 elsewhere.
    ptracks : uint16, (100000, frames, 2)
        ``ptracks[id - 1, t, 0]`` is the 1-based column (X) and ``ptracks[id - 1, t, 1]``
        the 1-based row (Y) of track id in frame t (0-based); 0 0 where the track has no
        marker. Rows from n on are zero. tracks_table gives the same as 0-based rows.
    tracklength : float64, (n,)
        Number of links of each track (frames it covers minus one).
    trackstarts : float64, (n,)
        1-based frame in which each track starts.
    trackstart_x, trackstart_y : float64, (n,)
        1-based column and row of each track's first marker.
    stack : uint8, the stack's shape and axis order
        The stack with its markers rewritten (see vesquin4); with inplace=True, the
        caller's array itself.
    """

    itracks: np.ndarray
    ptracks: np.ndarray
    tracklength: np.ndarray
    trackstarts: np.ndarray
    trackstart_x: np.ndarray
    trackstart_y: np.ndarray
    stack: np.ndarray


def _frames_last(array, axis_order):
    """A (rows, cols, frames) view of the caller's stack."""
    if array.ndim == 2:
        return array[:, :, np.newaxis]
    return array if axis_order == "rct" else np.moveaxis(array, 0, -1)


def _in_callers_order(rct, ndim, axis_order):
    """An output of (rows, cols, frames) in the layout of the caller's stack."""
    if ndim == 2:
        return rct[:, :, 0]
    return rct if axis_order == "rct" else np.ascontiguousarray(np.moveaxis(rct, -1, 0))


def vesquin4(stack, max_distance, *, axis_order="rct", inplace=False):
    """Link cell markers of consecutive frames into tracks.

    tracks = vesquin4(stack, max_distance, *, axis_order="rct", inplace=False)

    stack is a uint8 stack of frames in which every pixel of value 254 or 255 is a cell
    marker (each marker pixel on its own; touching pixels are not grouped). For each pair
    of consecutive frames, every marker of the earlier frame is linked to the first free
    marker of the later frame found in a square around it. The square's half-width grows
    from 3 up to max_distance, and all markers try one half-width before any tries the
    next, so a nearer partner always wins. Within a half-width, markers take their turn row
    by row (top row first, then left to right), and each scans its square column by column
    (leftmost column first, top to bottom in each column); the first free marker found is
    its partner. A marker links only when its whole square lies inside the frame, with row
    0 and column 0 never inside it. Links chain into tracks: a marker reached from the
    frame before carries its track on; one that was not starts a new track.

    The markers are rewritten: afterwards, with two or more frames,
      254  marks a marker that linked: in every frame but the last, one that linked to the
           next frame; in the last frame, one that was reached;
      255  marks a marker that did not.
    With max_distance below 3 every marker becomes 255. Values 0..253 are never changed,
    and with a single frame nothing is. MATLAB rewrites the caller's array; here the
    rewritten stack is returned as ``tracks.stack`` and the caller's array is left as it
    was, unless inplace=True.

    Parameters
    ----------
    stack : numpy.ndarray of uint8
        (rows, cols, frames), frames on the last axis as in MATLAB: ``stack[r, c, t]`` is
        ``I(r+1, c+1, t+1)``. With axis_order="trc", (frames, rows, cols), the usual order
        in Python. A 2-D array is a single frame, in which nothing links. Any memory order.
        Rows and cols at most 65535. Any other dtype raises TypeError ("Image with cell
        markers must be a uint8 matrix"), as MATLAB does: markers are the values 254 and
        255 of 8-bit data, so convert deliberately, e.g. ``np.where(mask, 255, 0)
        .astype(np.uint8)``.
    max_distance : real number
        The largest half-width of the search square, truncated toward zero (4.9 is 4).
        Below 3 nothing links, and neither does it for NaN, inf, -inf or a value beyond
        the 32-bit integer range.
    axis_order : "rct" or "trc", keyword only
        Where the frames are: "rct" (default) last, "trc" first. The outputs that are
        stacks (itracks, stack) come in the same order; ptracks and the per-track arrays
        do not depend on it.
    inplace : bool, keyword only
        Rewrite the caller's array, as MATLAB does (it must be a writeable numpy array).
        Default False: the caller's array is not touched.

    Returns
    -------
    Tracks, a named tuple (itracks, ptracks, tracklength, trackstarts, trackstart_x,
    trackstart_y, stack); see Tracks for the dtypes and which values are 1-based.
    Once 65535 tracks exist no further track starts; the markers concerned stay unlinked
    and a RuntimeWarning says so.

    Example: the rule on a tiny stack
    ---------------------------------
    >>> stack = np.zeros((40, 40, 3), np.uint8)
    >>> stack[19, 19, 0] = 255; stack[20, 21, 1] = 255; stack[21, 22, 2] = 255
    >>> tracks = cellkit.vesquin4(stack, 5)
    >>> tracks.tracklength            # one track, over frames 0 to 2
    array([2.])
    >>> cellkit.tracks_table(tracks)  # track_id, t, y (row), x (column); 0-based
    array([[ 1,  0, 19, 19],
           [ 1,  1, 20, 21],
           [ 1,  2, 21, 22]])
    """
    if axis_order not in ("rct", "trc"):
        raise ValueError(f"axis_order must be 'rct' (frames last) or 'trc' (frames first), "
                         f"not {axis_order!r}")
    if inplace and not isinstance(stack, np.ndarray):
        raise TypeError(f"stack must be a numpy array for inplace=True, not "
                        f"{type(stack).__name__}")
    array = np.asarray(stack)
    if array.dtype != np.uint8:
        raise TypeError(f"stack: {_core.NOT_UINT8} (not {array.dtype})")
    if array.ndim not in (2, 3):
        raise ValueError(f"stack must have three dimensions (a stack of frames) or two "
                         f"(a single frame), not {array.ndim}")
    distance = _real_number(max_distance, "max_distance")
    rct = _frames_last(array, axis_order)
    rows, cols, frames = rct.shape
    if rows > _core.MAX_FRAME_SIDE or cols > _core.MAX_FRAME_SIDE:
        raise ValueError(f"stack: {_core.FRAME_TOO_LARGE}")
    if frames > _INT32_MAX:
        raise ValueError(f"stack: {_core.TOO_MANY_FRAMES}")
    if inplace and not array.flags.writeable:
        raise ValueError("stack is read-only: inplace=True needs a writeable array")

    # The tracker rewrites a column-major block: the caller's own when it is one and inplace
    # is asked for, a copy otherwise.
    direct = inplace and rct.flags.f_contiguous
    work = rct if direct else np.array(rct, order="F", copy=True)
    (itracks, ptracks, tracklength, trackstarts, trackstart_x, trackstart_y,
     limit_reached) = _core.vesquin4(work, distance)
    if inplace:
        if not direct:
            rct[...] = work
        rewritten = stack
    else:
        rewritten = _in_callers_order(work, array.ndim, axis_order)
    if limit_reached:
        warnings.warn(_core.TRACK_LIMIT_REACHED, RuntimeWarning, stacklevel=2)
    return Tracks(_in_callers_order(itracks, array.ndim, axis_order), ptracks, tracklength,
                  trackstarts, trackstart_x, trackstart_y, rewritten)


def tracks_table(tracks):
    """The tracks as a table of points, one row per track and frame.

    table = tracks_table(tracks)

    tracks is what vesquin4 returns (or its ptracks array alone). The result is an int64
    array of shape (N, 4) with the columns [track_id, t, y, x] (TRACKS_COLUMNS):

      track_id  the tracker's track id, 1 to n: the value in itracks, and row
                track_id - 1 of ptracks;
      t         the frame, 0-based;
      y, x      the marker's row and column in that frame, 0-based (ptracks minus 1).

    Rows are sorted by track_id, then t. This is the layout napari's tracks layer takes,
    ``viewer.add_tracks(table)``, and pandas reads it as
    ``pandas.DataFrame(table, columns=cellkit.TRACKS_COLUMNS)``. A track of k links has
    k + 1 rows.
    """
    if isinstance(tracks, Tracks):
        ptracks = np.asarray(tracks.ptracks)
        count = len(tracks.tracklength)
    else:
        ptracks = np.asarray(tracks)
        count = ptracks.shape[0] if ptracks.ndim == 3 else 0
    if ptracks.ndim != 3 or ptracks.shape[2] != 2 or ptracks.dtype.kind not in "iu":
        raise ValueError("tracks must be what vesquin4 returns, or its ptracks array of "
                         "shape (rows, frames, 2)")
    x = ptracks[:count, :, 0]
    y = ptracks[:count, :, 1]
    # nonzero lists the points in index order: by track, then by frame.
    ids, frames = np.nonzero(x)
    table = np.empty((ids.size, 4), dtype=np.int64)
    table[:, 0] = ids + 1
    table[:, 1] = frames
    table[:, 2] = y[ids, frames].astype(np.int64) - 1
    table[:, 3] = x[ids, frames].astype(np.int64) - 1
    return table
