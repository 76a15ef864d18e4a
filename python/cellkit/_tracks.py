"""vesquin4 and the tables of its tracks."""

from __future__ import annotations

import math
import warnings
from typing import TYPE_CHECKING, Any, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _core
from ._convert import (INT32_MAX, AxisOrder, Layout, Number, check_layout, real_number,
                       warn_useless)

if TYPE_CHECKING:
    import pandas

# The columns of tracks_table, as napari's tracks layer takes them.
TRACKS_COLUMNS = ("track_id", "t", "y", "x")
# The columns of tracks_summary.
SUMMARY_COLUMNS = ("track_id", "start_t", "end_t", "length", "start_y", "start_x", "end_y",
                   "end_x")

# The search square's first half-width: below it nothing links.
FIRST_RADIUS = 3


class Tracks(NamedTuple):
    """What vesquin4 returns in Python's layout: 0-based, (t, y, x), compact.

    n is the number of tracks, at most 65535; track ids run from 1 to n in the order the
    tracks start, and track ``id`` is row ``id - 1`` of the per-track arrays.

    Attributes
    ----------
    labels : ndarray of uint16, the stack's shape and axis order
        The track id (1..n) at every marker that belongs to a track, 0 elsewhere; a label
        image of the tracks, e.g. for napari's Labels layer.
    positions : ndarray of int32, shape (n, frames, 2)
        ``positions[id - 1, t]`` is the (row, column) of track ``id`` in frame ``t``, both
        0-based; (-1, -1) in the frames the track does not cover.
    length : ndarray of int64, shape (n,)
        The number of frames each track covers: it covers frames ``start_t`` to
        ``start_t + length - 1``, one marker in each. At least 2.
    start_t, start_y, start_x : ndarray of int64, shape (n,)
        The frame, row and column of each track's first marker, 0-based.
    stack : ndarray of uint8, the stack's shape and axis order
        The markers rewritten (see vesquin4); with ``inplace=True``, the caller's array
        itself.
    """

    labels: np.ndarray
    positions: np.ndarray
    length: np.ndarray
    start_t: np.ndarray
    start_y: np.ndarray
    start_x: np.ndarray
    stack: np.ndarray


class MatlabTracks(NamedTuple):
    """What vesquin4 returns in MATLAB's layout: its six outputs, in order, and the stack.

    Attributes
    ----------
    itracks : ndarray of uint16, the stack's shape and axis order
        The track id (1..n) at every marker that belongs to a track, 0 elsewhere.
    ptracks : ndarray of uint16, shape (100000, frames, 2)
        ``ptracks[id - 1, t, 0]`` is the 1-based column (X) and ``ptracks[id - 1, t, 1]``
        the 1-based row (Y) of track ``id`` in frame ``t`` (0-based); 0 0 where the track
        has no marker. Rows from n on are zero.
    tracklength : ndarray of float64, shape (n,)
        The number of links of each track (frames it covers minus one).
    trackstarts : ndarray of float64, shape (n,)
        The 1-based frame in which each track starts.
    trackstart_x, trackstart_y : ndarray of float64, shape (n,)
        The 1-based column and row of each track's first marker.
    stack : ndarray of uint8, the stack's shape and axis order
        The markers rewritten (see vesquin4); with ``inplace=True``, the caller's array
        itself.
    """

    itracks: np.ndarray
    ptracks: np.ndarray
    tracklength: np.ndarray
    trackstarts: np.ndarray
    trackstart_x: np.ndarray
    trackstart_y: np.ndarray
    stack: np.ndarray


def _frames_last(array: np.ndarray, axis_order: str) -> np.ndarray:
    """A (rows, cols, frames) view of the caller's stack."""
    if array.ndim == 2:
        return array[:, :, np.newaxis]
    return array if axis_order == "rct" else np.moveaxis(array, 0, -1)


def _in_callers_order(rct: np.ndarray, ndim: int, axis_order: str) -> np.ndarray:
    """An output of (rows, cols, frames) in the layout of the caller's stack."""
    if ndim == 2:
        return rct[:, :, 0]
    return rct if axis_order == "rct" else np.ascontiguousarray(np.moveaxis(rct, -1, 0))


def _half_width(distance: float, matlab: bool) -> Tuple[float, Optional[str]]:
    """max_distance as the tracker takes it, and why it links nothing when it does not.

    MATLAB truncates NaN, inf and values from 2**31 on to its smallest int: no link. In
    Python's layout a large value means no limit, which a half-width of 65535 gives as any
    larger one would: no square that wide fits inside a frame."""
    if not matlab and distance > _core.MAX_FRAME_SIDE:
        return float(_core.MAX_FRAME_SIDE), None
    if math.isnan(distance) or distance >= INT32_MAX + 1:
        return distance, f"{distance:g} links nothing in MATLAB's layout, as in MATLAB"
    if distance < FIRST_RADIUS:
        return distance, (f"{distance:g} links nothing: the search square's half-width starts "
                          f"at {FIRST_RADIUS}")
    return distance, None


def _positions_from_labels(itracks: np.ndarray, count: int) -> np.ndarray:
    """Python's positions: where each track's id stands in each frame of itracks (rows,
    cols, frames; Fortran order), the same places as MATLAB's Ptracks gives 1-based."""
    positions = np.full((count, itracks.shape[2], 2), -1, dtype=np.int32)
    if count > 0:
        # The transpose (frames, cols, rows) is C-contiguous: nonzero walks memory in order.
        t, c, r = np.nonzero(itracks.T)
        ids = itracks.T[t, c, r].astype(np.intp) - 1
        positions[ids, t, 0] = r
        positions[ids, t, 1] = c
    return positions


def vesquin4(stack: npt.NDArray[np.uint8], max_distance: Number, *,
             axis_order: Optional[AxisOrder] = None, layout: Layout = "python",
             inplace: bool = False) -> Union[Tracks, MatlabTracks]:
    """Link cell markers of consecutive frames into tracks.

    `stack` is a uint8 stack of frames in which every pixel of value 254 or 255 is a cell
    marker (each marker pixel on its own; touching pixels are not grouped). For each pair
    of consecutive frames, every marker of the earlier frame is linked to the first free
    marker of the later frame found in a square around it. The square's half-width grows
    from 3 up to `max_distance`, and all markers try one half-width before any tries the
    next, so a nearer partner always wins. Within a half-width, markers take their turn row
    by row (top row first, then left to right), and each scans its square column by column
    (leftmost column first, top to bottom in each column); the first free marker found is
    its partner. A marker links only when its whole square lies inside the frame, with row
    0 and column 0 never inside it. Links chain into tracks: a marker reached from the
    frame before carries its track on; one that was not starts a new track.

    Parameters
    ----------
    stack : ndarray of uint8, shape (frames, rows, cols)
        The markers, frames first as tifffile, napari and scikit-image give a time-lapse.
        A 2-D array is a single frame, in which nothing links. Any memory order. Rows and
        columns at most 65535. Any other dtype raises TypeError: markers are the values
        254 and 255 of 8-bit data, so convert deliberately, e.g.
        ``np.where(mask, 255, 0).astype(np.uint8)``.
    max_distance : float
        The largest half-width of the search square, truncated toward zero (4.9 is 4): a
        little more than a cell moves between frames. Below 3 nothing links (with a
        warning). ``np.inf`` means no limit.
    axis_order : {"trc", "rct"}, keyword-only
        Where the frames are: "trc" first (the default in Python's layout), "rct" last
        (``stack[r, c, t]`` is MATLAB's ``I(r+1, c+1, t+1)``, the default in MATLAB's
        layout). The outputs that are stacks come in the same order.
    layout : {"python", "matlab"}, keyword-only
        "python" (default): a `Tracks`, 0-based and compact. "matlab": a `MatlabTracks`
        with MATLAB's six outputs, and the stack taken as MATLAB takes it (frames last by
        default; NaN, inf and values beyond the 32-bit range link nothing).
    inplace : bool, keyword-only
        Rewrite the caller's array, as MATLAB does (it must be a writeable numpy array).
        Default False: the caller's array is not touched.

    Returns
    -------
    Tracks or MatlabTracks
        A named tuple; see `Tracks` (Python's layout) and `MatlabTracks`. The same tracks
        in either layout: ``positions[id-1, t] == (ptracks[id-1, t, 1] - 1,
        ptracks[id-1, t, 0] - 1)`` where the track has a marker, ``length == tracklength +
        1``, ``start_t == trackstarts - 1``, ``start_y == trackstart_y - 1`` and
        ``start_x == trackstart_x - 1``, and ``labels`` is ``itracks``.

    Raises
    ------
    TypeError
        For a stack that is not uint8, or a `max_distance` that is no real number.
    ValueError
        For a stack of other than 2 or 3 dimensions, frames of more than 65535 rows or
        columns, an unknown `axis_order` or `layout`, a read-only stack with
        ``inplace=True``, or a NaN `max_distance` (in Python's layout).

    Warns
    -----
    UserWarning
        When `max_distance` links nothing (below 3; in MATLAB's layout also NaN, inf or
        beyond the 32-bit range).
    RuntimeWarning
        Once 65535 tracks exist: no further track starts, and the markers concerned stay
        unlinked.

    See Also
    --------
    tracks_table : the tracks as rows (track_id, t, y, x), for napari and pandas.
    tracks_summary : one row per track.
    maxima_markers, centre_markers : markers from a movie, or from labelled cells.

    Notes
    -----
    The markers are rewritten, into ``stack`` of the result: afterwards, with two or
    more frames, 254 marks a marker that linked (in every frame but the last, to the next
    frame; in the last frame, reached from the one before), 255 one that did not. Values
    0..253 are never changed, and with a single frame nothing is. The call releases the
    GIL while it runs.

    Examples
    --------
    One marker moving a pixel or two per frame over three frames is one track:

    >>> import numpy as np
    >>> import cellkit
    >>> stack = np.zeros((3, 40, 40), np.uint8)      # (t, y, x)
    >>> stack[0, 19, 19] = stack[1, 20, 21] = stack[2, 21, 22] = 255
    >>> tracks = cellkit.vesquin4(stack, 5)
    >>> tracks.length, tracks.start_t                # one track, over frames 0 to 2
    (array([3]), array([0]))
    >>> tracks.positions[0]                          # (row, column) in each frame
    array([[19, 19],
           [20, 21],
           [21, 22]], dtype=int32)
    >>> cellkit.tracks_table(tracks)                 # track_id, t, y, x
    array([[ 1,  0, 19, 19],
           [ 1,  1, 20, 21],
           [ 1,  2, 21, 22]])

    The nuclei of a bundled time-lapse, a marker at the top of each smoothed nucleus:

    >>> movie = cellkit.data.mitocheck()             # (30, 190, 211) uint8
    >>> tracks = cellkit.vesquin4(cellkit.maxima_markers(movie, floor=12), 10)
    >>> len(tracks.length), int((tracks.length == 30).sum())   # 10 over the whole movie
    (25, 10)

    """
    matlab = check_layout(layout)
    if axis_order is None:
        axis_order = "rct" if matlab else "trc"
    if axis_order not in ("rct", "trc"):
        raise ValueError(f"axis_order must be 'trc' (frames first) or 'rct' (frames last), "
                         f"not {axis_order!r}")
    if inplace and not isinstance(stack, np.ndarray):
        raise TypeError(f"stack must be a numpy array for inplace=True, not "
                        f"{type(stack).__name__}")
    array = np.asarray(stack)
    if array.dtype != np.uint8:
        raise TypeError(f"stack: {_core.NOT_UINT8} (not {array.dtype}): markers are the values "
                        f"254 and 255 of 8-bit data; for a mask, "
                        f"np.where(mask, 255, 0).astype(np.uint8)")
    if array.ndim not in (2, 3):
        raise ValueError(f"stack must have three dimensions (a stack of frames) or two "
                         f"(a single frame), not {array.ndim}")
    distance, useless = _half_width(real_number(max_distance, "max_distance", allow_nan=matlab),
                                    matlab)
    rct = _frames_last(array, axis_order)
    rows, cols, frames = rct.shape
    if rows > _core.MAX_FRAME_SIDE or cols > _core.MAX_FRAME_SIDE:
        raise ValueError(f"stack: {_core.FRAME_TOO_LARGE}")
    if frames > INT32_MAX:
        raise ValueError(f"stack: {_core.TOO_MANY_FRAMES}")
    if inplace and not array.flags.writeable:
        raise ValueError("stack is read-only: inplace=True needs a writeable array")
    if useless:
        warn_useless("max_distance", useless)

    # The tracker rewrites a column-major block: the caller's own when it is one and inplace
    # is asked for, a copy otherwise.
    direct = inplace and rct.flags.f_contiguous
    work = rct if direct else np.array(rct, order="F", copy=True)
    (itracks, ptracks, tracklength, trackstarts, trackstart_x, trackstart_y,
     limit_reached) = _core.vesquin4(work, distance, matlab)
    if inplace:
        if not direct:
            rct[...] = work
        rewritten = stack
    else:
        rewritten = _in_callers_order(work, array.ndim, axis_order)
    if limit_reached:
        warnings.warn(_core.TRACK_LIMIT_REACHED, RuntimeWarning, stacklevel=2)
    labels = _in_callers_order(itracks, array.ndim, axis_order)
    if matlab:
        return MatlabTracks(labels, ptracks, tracklength, trackstarts, trackstart_x,
                            trackstart_y, rewritten)
    return Tracks(labels, _positions_from_labels(itracks, tracklength.size),
                  tracklength.astype(np.int64) + 1, trackstarts.astype(np.int64) - 1,
                  trackstart_y.astype(np.int64) - 1, trackstart_x.astype(np.int64) - 1,
                  rewritten)


def _as_positions(tracks: Any) -> np.ndarray:
    """Python's positions (n, frames, 2) of whatever the caller holds of vesquin4's result:
    a Tracks or MatlabTracks, any sequence of their fields, or the positions (signed
    integers) or ptracks (unsigned) array alone."""
    count = None
    if isinstance(tracks, (Tracks, MatlabTracks)) or \
            (isinstance(tracks, Sequence) and len(tracks) in (6, 7)):
        count = len(tracks[2])
        tracks = tracks[1]
    array = np.asarray(tracks)
    if array.ndim != 3 or array.shape[2] != 2 or array.dtype.kind not in "iu":
        raise ValueError("tracks must be what vesquin4 returns, a sequence of its fields, or "
                         "its positions or ptracks array of shape (tracks, frames, 2)")
    if array.dtype.kind == "i":
        return array if count is None else array[:count]
    if count is None:
        # Ptracks alone: its rows past the last track are zero.
        tracks_present = np.flatnonzero(array[:, :, 0].any(axis=1))
        count = tracks_present[-1] + 1 if tracks_present.size else 0
    array = array[:count]
    # MATLAB's Ptracks: 1-based (X, Y), 0 0 where the track has no marker.
    positions = array[:, :, ::-1].astype(np.int32) - 1
    positions[array[:, :, 0] == 0] = -1
    return positions


def _maybe_frame(table: np.ndarray, columns: Sequence[str], as_frame: bool) -> Any:
    if not as_frame:
        return table
    try:
        import pandas
    except ImportError as missing:
        raise ImportError("as_frame=True needs pandas (pip install pandas, or on Debian: "
                          "apt-get install python3-pandas)") from missing
    return pandas.DataFrame(table, columns=list(columns))


def tracks_table(tracks: Any, *, as_frame: bool = False
                 ) -> Union[npt.NDArray[np.int64], "pandas.DataFrame"]:
    """The tracks as a table of points, one row per track and frame.

    Parameters
    ----------
    tracks : Tracks, MatlabTracks, sequence or ndarray
        What `vesquin4` returns in either layout, any sequence of its fields (such as
        ``tuple(tracks)``), or its ``positions`` or ``ptracks`` array alone.
    as_frame : bool, keyword-only
        Return a pandas DataFrame with the columns named (pandas must be installed).

    Returns
    -------
    table : ndarray of int64, shape (N, 4), or pandas.DataFrame
        The columns ``track_id, t, y, x`` (`TRACKS_COLUMNS`): the track id (1..n, as in
        ``labels``), then the frame, row and column of the marker, all 0-based. Sorted by
        track, then frame. A track covering k frames has k rows. This is the layout that
        napari's tracks layer takes: ``viewer.add_tracks(table)``.

    Raises
    ------
    ValueError
        For anything that is not vesquin4's result or its positions.
    ImportError
        For ``as_frame=True`` without pandas.

    Examples
    --------
    >>> import numpy as np
    >>> import cellkit
    >>> stack = np.zeros((3, 40, 40), np.uint8)
    >>> stack[0, 19, 19] = stack[1, 20, 21] = stack[2, 21, 22] = 255
    >>> stack[1, 30, 10] = stack[2, 31, 11] = 255    # a second track, from frame 1
    >>> cellkit.tracks_table(cellkit.vesquin4(stack, 5))
    array([[ 1,  0, 19, 19],
           [ 1,  1, 20, 21],
           [ 1,  2, 21, 22],
           [ 2,  1, 30, 10],
           [ 2,  2, 31, 11]])
    """
    positions = _as_positions(tracks)
    # nonzero lists the points in index order: by track, then by frame.
    ids, frames = np.nonzero(positions[:, :, 0] >= 0)
    table = np.empty((ids.size, 4), dtype=np.int64)
    table[:, 0] = ids + 1
    table[:, 1] = frames
    table[:, 2:] = positions[ids, frames]
    return _maybe_frame(table, TRACKS_COLUMNS, as_frame)


def tracks_summary(tracks: Any, *, as_frame: bool = False
                   ) -> Union[npt.NDArray[np.int64], "pandas.DataFrame"]:
    """One row per track: where and when it starts and ends.

    Parameters
    ----------
    tracks : Tracks, MatlabTracks, sequence or ndarray
        As for `tracks_table`.
    as_frame : bool, keyword-only
        Return a pandas DataFrame with the columns named (pandas must be installed).

    Returns
    -------
    summary : ndarray of int64, shape (n, 8), or pandas.DataFrame
        The columns `SUMMARY_COLUMNS`: ``track_id`` (1..n), ``start_t`` and ``end_t`` (its
        first and last frame), ``length`` (frames covered, ``end_t - start_t + 1``),
        ``start_y``, ``start_x``, ``end_y``, ``end_x`` (its first and last position). All
        0-based, in track order.

    Raises
    ------
    ValueError, ImportError
        As for `tracks_table`.

    Examples
    --------
    >>> import numpy as np
    >>> import cellkit
    >>> stack = np.zeros((3, 40, 40), np.uint8)
    >>> stack[0, 19, 19] = stack[1, 20, 21] = stack[2, 21, 22] = 255
    >>> stack[1, 30, 10] = stack[2, 31, 11] = 255
    >>> cellkit.tracks_summary(cellkit.vesquin4(stack, 5))
    array([[ 1,  0,  2,  3, 19, 19, 21, 22],
           [ 2,  1,  2,  2, 30, 10, 31, 11]])
    """
    positions = _as_positions(tracks)
    count, frames = positions.shape[:2]
    present = positions[:, :, 0] >= 0
    # A track covers consecutive frames: its first and last marked ones.
    start = np.argmax(present, axis=1)
    end = frames - 1 - np.argmax(present[:, ::-1], axis=1)
    rows = np.arange(count)
    summary = np.empty((count, len(SUMMARY_COLUMNS)), dtype=np.int64)
    summary[:, 0] = rows + 1
    summary[:, 1] = start
    summary[:, 2] = end
    summary[:, 3] = present.sum(axis=1)
    summary[:, 4:6] = positions[rows, start]
    summary[:, 6:8] = positions[rows, end]
    return _maybe_frame(summary, SUMMARY_COLUMNS, as_frame)
