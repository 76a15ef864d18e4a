"""cellkit: label and track cells in microscopy images.

The toolbox's C++ functions for numpy arrays, with the same results as its MATLAB and
Octave modules:

    ombrisk(image, cell_size_limit, threshold)   label dark cells by level flooding
    tavenor3(image, cell_level)                  grow labels from seed pixels
    vesquin4(stack, max_distance)                link cell markers of consecutive frames
    tracks_table(tracks), tracks_summary(tracks) the tracks as tables
    prepare(image)                               a fluorescence image made ready to flood
    maxima_markers(movie), centre_markers(labels) markers for vesquin4
    cellkit.data                                 the bundled sample images

By default the functions speak Python: images are ``image[y, x]``, stacks ``stack[t, y,
x]``, labels run 1..n with 0 for the background, and every position is 0-based.
``layout="matlab"`` gives MATLAB's outputs instead, number for number.

Inputs are never modified (except the stack of ``vesquin4(..., inplace=True)``). The
functions release the GIL while they run and keep no state, so they may be called from
several threads at once.
"""

from . import _core, data
from ._labelling import ombrisk, tavenor3
from ._prepare import centre_markers, maxima_markers, prepare
from ._tracks import (SUMMARY_COLUMNS, TRACKS_COLUMNS, MatlabTracks, Tracks, tracks_summary,
                      tracks_table, vesquin4)

__version__: str = _core.__version__

__all__ = ["ombrisk", "tavenor3", "vesquin4", "tracks_table", "tracks_summary", "prepare",
           "maxima_markers", "centre_markers", "Tracks", "MatlabTracks", "TRACKS_COLUMNS", "SUMMARY_COLUMNS", "data", "__version__"]
