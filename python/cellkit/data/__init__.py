"""Sample images: real microscopy data bundled with cellkit, as in ``skimage.data``.

Each function reads one bundled file and returns it as a numpy array, so the examples run
from any folder. ``path(name)`` gives a file's location, and ``path("README.md")`` the
source, licence (CC0, CC BY 4.0 and MIT) and attribution of each.

=====================  =============================================  ===================
function               content                                         shape, dtype
=====================  =============================================  ===================
``nuclei()``           DAPI-stained nuclei of human cells              (512, 512) uint8
``u2os_nuclei()``      U2OS nuclei (Hoechst), Cell Painting            (395, 695) uint16
``u2os_cytoplasm()``   the same field's cell bodies                    (395, 695) uint16
``phase_contrast()``   T98G glioblastoma cells, phase contrast         (1022, 1024) uint16
``mitocheck()``        time-lapse of fluorescent nuclei                (30, 190, 211) uint8
``cancer_cells()``     time-lapse of migrating cancer cells' nuclei    (48, 130, 130) uint8
=====================  =============================================  ===================

``cancer_cells(bits=16)`` gives the same movie in its original 16 bits. Time-lapses are
(t, y, x), as tifffile and napari give them.
"""

from pathlib import Path as _Path

import numpy as _np

from .._files import read_image as _read_image

__all__ = ["path", "nuclei", "u2os_nuclei", "u2os_cytoplasm", "phase_contrast", "mitocheck",
           "cancer_cells", "FILES"]

# Every bundled file, as named in the toolbox's data/ folder.
FILES = ("nuclei_human_cells.png", "bbbc022_u2os_nuclei.png", "bbbc022_u2os_cytoplasm.png",
         "phase_contrast_t98g.png", "timelapse_nuclei_mitocheck_uint8.tif",
         "timelapse_nuclei_cancer_cells_uint8.tif", "timelapse_nuclei_cancer_cells_uint16.tif",
         "README.md")


def path(name: str) -> _Path:
    """The location of a bundled file, one of `FILES`.

    Raises
    ------
    ValueError
        For a name that is not one of `FILES`.
    FileNotFoundError
        When the installation lacks the file.

    Examples
    --------
    >>> import cellkit
    >>> cellkit.data.path("nuclei_human_cells.png").name
    'nuclei_human_cells.png'
    """
    if name not in FILES:
        raise ValueError(f"no bundled file {name!r}; the files are {', '.join(FILES)}")
    location = _Path(__file__).with_name(name)
    if not location.is_file():
        raise FileNotFoundError(f"{location}: cellkit was installed without its sample data")
    return location


def nuclei() -> _np.ndarray:
    """DAPI-stained nuclei of human cells, about 300 bright nuclei on a dark background.

    Returns
    -------
    ndarray of uint8, shape (512, 512)

    Examples
    --------
    >>> import cellkit
    >>> image = cellkit.data.nuclei()
    >>> image.shape, image.dtype
    ((512, 512), dtype('uint8'))
    """
    return _read_image(path("nuclei_human_cells.png"))


def u2os_nuclei() -> _np.ndarray:
    """U2OS nuclei (Hoechst) from the Cell Painting set BBBC022: about 25 oval nuclei.

    Returns
    -------
    ndarray of uint16, shape (395, 695)
        12-bit camera values, 135 to 1473.
    """
    return _read_image(path("bbbc022_u2os_nuclei.png"))


def u2os_cytoplasm() -> _np.ndarray:
    """The cell bodies of the `u2os_nuclei` field (a cytoplasmic stain).

    Returns
    -------
    ndarray of uint16, shape (395, 695)
        12-bit camera values, 180 to 1794.
    """
    return _read_image(path("bbbc022_u2os_cytoplasm.png"))


def phase_contrast() -> _np.ndarray:
    """Many T98G glioblastoma cells in phase contrast.

    Returns
    -------
    ndarray of uint16, shape (1022, 1024)
    """
    return _read_image(path("phase_contrast_t98g.png"))


def mitocheck() -> _np.ndarray:
    """A 30-frame time-lapse of fluorescent nuclei (labelled chromatin).

    Returns
    -------
    ndarray of uint8, shape (30, 190, 211)
        (t, y, x).
    """
    return _read_image(path("timelapse_nuclei_mitocheck_uint8.tif"))


def cancer_cells(bits: int = 8) -> _np.ndarray:
    """A 48-frame time-lapse of migrating cancer cells, nuclear label.

    Parameters
    ----------
    bits : {8, 16}
        16 for the original values, 8 for the 8-bit copy.

    Returns
    -------
    ndarray of uint8 or uint16, shape (48, 130, 130)
        (t, y, x).
    """
    if bits not in (8, 16):
        raise ValueError(f"bits must be 8 or 16, not {bits!r}")
    return _read_image(path(f"timelapse_nuclei_cancer_cells_uint{bits}.tif"))
