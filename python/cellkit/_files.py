"""Image files: TIFF through tifffile, PNG through Pillow. Headers are read before pixels, so
that a file declaring more than the toolbox or the memory can take is refused unread, and
every output is written under a temporary name and then renamed, so that no reader ever
sees half a file."""

from __future__ import annotations

import csv
import os
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterable, Sequence, Union

import numpy as np

PathLike = Union[str, "os.PathLike[str]"]

TIFF_SUFFIXES = (".tif", ".tiff")
PNG_SUFFIXES = (".png",)
IMAGE_SUFFIXES = TIFF_SUFFIXES + PNG_SUFFIXES
# What an interrupted write leaves behind, and the next run clears away.
PART_SUFFIX = ".cellkit-part"
# The kernels count pixels in 32 bits.
PIXEL_LIMIT = 2**31 - 1


class FileRefused(ValueError):
    """A file that cannot be taken: not an image of the kind, or too large."""


@dataclass(frozen=True)
class Header:
    """What a file's header declares: frames of rows x cols of dtype."""

    frames: int
    rows: int
    cols: int
    dtype: np.dtype

    @property
    def pixels(self) -> int:
        return self.frames * self.rows * self.cols

    def describe(self) -> str:
        frames = f" x {self.frames} frames" if self.frames > 1 else ""
        return f"{self.rows} x {self.cols}{frames} of {self.dtype}"


# Pillow's modes of greyscale PNG files: 8 bits, and 16 bits as Pillow opens them.
GREY_PNG_MODES = ("L", "I", "I;16", "I;16B")


def _pixel_dtype(dtype: np.dtype, name: str, labels: bool) -> np.dtype:
    if labels and dtype.kind == "u":
        return dtype
    if dtype not in (np.dtype(np.uint8), np.dtype(np.uint16)):
        raise FileRefused(f"{name}: {dtype} pixels; only 8- and 16-bit greys are taken" +
                          (" (and unsigned integers for labels)" if labels else ""))
    return dtype


def read_header(path: PathLike, labels: bool = False) -> Header:
    """The size and pixel type a TIFF or PNG file declares, read from its header alone.
    Greys are 8 or 16 bits; a label image (labels) may hold any unsigned integers."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix in TIFF_SUFFIXES:
        import tifffile

        try:
            with tifffile.TiffFile(path) as tif:
                page = tif.pages[0]
                frames = len(tif.pages)
                if len(page.shape) != 2:
                    raise FileRefused(f"{path.name}: pages of shape {page.shape}; only "
                                      f"greyscale pages are taken")
                return Header(frames, page.shape[0], page.shape[1],
                              _pixel_dtype(page.dtype, path.name, labels))
        except FileRefused:
            raise
        except Exception as error:
            raise FileRefused(f"{path.name}: not a readable TIFF file ({error})") from error
    if suffix in PNG_SUFFIXES:
        from PIL import Image

        try:
            with Image.open(path) as image:
                mode, (cols, rows) = image.mode, image.size
        except Exception as error:
            raise FileRefused(f"{path.name}: not a readable PNG file ({error})") from error
        if mode not in GREY_PNG_MODES:
            raise FileRefused(f"{path.name}: a {mode} PNG; only greyscale images of 8 or 16 "
                              f"bits are taken")
        return Header(1, rows, cols, np.dtype(np.uint8 if mode == "L" else np.uint16))
    raise FileRefused(f"{path.name}: not a TIFF or PNG file")


def check_size(header: Header, name: str, bytes_per_pixel: float, memory: float,
               per_frame: bool = False) -> None:
    """Refuses, before any pixel is read, a file beyond the toolbox's pixel limit or one
    whose work would take more than `memory` bytes at `bytes_per_pixel`."""
    frame = header.rows * header.cols
    if frame > PIXEL_LIMIT:
        raise FileRefused(f"{name}: declares {header.describe()}: beyond the toolbox's limit "
                          f"of {PIXEL_LIMIT} pixels a frame")
    needed = bytes_per_pixel * (frame if per_frame else header.pixels)
    if needed > memory:
        raise FileRefused(f"{name}: declares {header.describe()}, whose work takes about "
                          f"{needed / 2**30:.1f} GiB: more than the {memory / 2**30:.1f} GiB "
                          f"a worker may use")


def read_png(path: PathLike) -> np.ndarray:
    """A greyscale PNG as uint8 or uint16, as it is stored."""
    from PIL import Image

    with Image.open(path) as image:
        mode = image.mode
        if mode not in GREY_PNG_MODES:
            raise FileRefused(f"{Path(path).name}: a {mode} PNG; only greyscale images of 8 "
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
    raise FileRefused(f"{Path(path).name}: not a TIFF or PNG file")


def read_frame(path: PathLike, frame: int) -> np.ndarray:
    """One frame of a multi-page TIFF (or the one frame of a PNG), and nothing more."""
    if Path(path).suffix.lower() in TIFF_SUFFIXES:
        import tifffile

        with tifffile.TiffFile(path) as tif:
            return tif.pages[frame].asarray()
    return read_image(path)


def write_atomically(path: Path, write: Callable[[Path], None]) -> None:
    """write(temporary) fills a file beside `path`, which then takes its name in one rename,
    after its data reached the disk: a reader sees the whole file or none."""
    temporary = path.with_name(f".{path.name}.{uuid.uuid4().hex}{PART_SUFFIX}")
    try:
        write(temporary)
        with open(temporary, "rb+") as written:
            os.fsync(written.fileno())
        os.replace(temporary, path)
    finally:
        if temporary.exists():
            temporary.unlink()


def remove_parts(folder: Path) -> int:
    """Clears what interrupted writes left in a folder; returns how many."""
    parts = list(folder.glob(f".*{PART_SUFFIX}"))
    for part in parts:
        part.unlink(missing_ok=True)
    return len(parts)


def write_tiff(path: Path, array: np.ndarray, description: str = "") -> None:
    import tifffile

    write_atomically(path, lambda temporary: tifffile.imwrite(
        temporary, array, photometric="minisblack", compression="zlib",
        description=description or None, metadata=None))


def write_png(path: Path, rgb: np.ndarray) -> None:
    from PIL import Image

    write_atomically(path, lambda temporary: Image.fromarray(rgb).save(temporary, format="PNG"))


def write_csv(path: Path, header: Sequence[str], rows: Iterable[Sequence]) -> None:
    def write(temporary: Path) -> None:
        with open(temporary, "w", newline="", encoding="utf-8") as file:
            writer = csv.writer(file)
            writer.writerow(header)
            writer.writerows(rows)

    write_atomically(path, write)
