"""Reading image files: TIFF with tifffile, PNG with Pillow, each as numpy gives them."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Union

import numpy as np

PathLike = Union[str, "os.PathLike[str]"]

TIFF_SUFFIXES = (".tif", ".tiff")
PNG_SUFFIXES = (".png",)


def read_png(path: PathLike) -> np.ndarray:
    """A greyscale PNG as uint8 or uint16, as it is stored."""
    from PIL import Image

    with Image.open(path) as image:
        mode = image.mode
        if mode not in ("L", "I", "I;16", "I;16B"):
            raise ValueError(f"{Path(path).name}: a {mode} PNG; only greyscale images of 8 "
                             f"or 16 bits are taken")
        array = np.asarray(image)
    # Pillow opens a 16-bit PNG as 32-bit integers; PNG holds no wider greys.
    return array if array.dtype == np.uint8 else array.astype(np.uint16)


def read_image(path: PathLike) -> np.ndarray:
    """An image or stack from a TIFF (all its pages: (t, y, x)) or a PNG file."""
    suffix = Path(path).suffix.lower()
    if suffix in TIFF_SUFFIXES:
        import tifffile

        return tifffile.imread(path)
    if suffix in PNG_SUFFIXES:
        return read_png(path)
    raise ValueError(f"{Path(path).name}: not a TIFF or PNG file")
