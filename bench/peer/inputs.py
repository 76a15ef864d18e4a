"""Inputs of the peer benchmark: synthetic dark-cell images and the real images of data/.

Every synthetic image is made from a fixed seed, so the same call gives the same image.
"""

import numpy as np
from scipy import ndimage


def dark_cells(side, bits, seed=20261209):
    """A side x side image of dark elliptical cells (semi-axes of 5 to 12 pixels) on a
    brighter background, with a weak illumination gradient, blur and noise, as uint8 or
    uint16 (bits 8 or 16). About one cell per 1,700 pixels, as in a dense culture."""
    rng = np.random.default_rng(seed)
    top = float(2 ** bits - 1)
    background = 0.75 * top
    image = np.full((side, side), background)
    cells = max(1, side * side // 1700)
    for _ in range(cells):
        row, col = rng.uniform(0, side, 2)
        a, b = rng.uniform(5, 12, 2)
        angle = rng.uniform(0, np.pi)
        depth = rng.uniform(0.35, 0.7) * background
        reach = int(np.ceil(max(a, b)))
        r0, r1 = max(0, int(row) - reach), min(side, int(row) + reach + 1)
        c0, c1 = max(0, int(col) - reach), min(side, int(col) + reach + 1)
        rr, cc = np.mgrid[r0:r1, c0:c1]
        dr, dc = rr - row, cc - col
        u = (dr * np.cos(angle) + dc * np.sin(angle)) / a
        v = (-dr * np.sin(angle) + dc * np.cos(angle)) / b
        d2 = u * u + v * v
        inside = d2 <= 1.0
        patch = image[r0:r1, c0:c1]
        # A bowl: darkest at the centre, the background at the rim.
        cell = background - depth * (1.0 - d2)
        patch[inside] = np.minimum(patch[inside], cell[inside])
    # Weak illumination gradient: 8 % across the field.
    ramp = np.linspace(-0.04, 0.04, side)
    image *= 1.0 + ramp[:, None] + 0.5 * ramp[None, :]
    image = ndimage.gaussian_filter(image, 1.0)
    image += rng.normal(0.0, 0.02 * top, image.shape)
    dtype = np.uint8 if bits == 8 else np.uint16
    return np.clip(np.rint(image), 1, top).astype(dtype)


def write_double(path, image):
    """Writes an image for our side (read_raw_image.m): int32 rows and columns, then the
    doubles in column-major order."""
    with open(path, "wb") as f:
        np.array(image.shape, dtype=np.int32).tofile(f)
        np.asfortranarray(image, dtype=np.float64).T.tofile(f)


def point_markers(image, min_distance=5):
    """One marker pixel per dark cell: the minima of the smoothed image that lie well below
    the background. Returns the (rows, cols) of the points."""
    from skimage.feature import peak_local_max
    smooth = ndimage.gaussian_filter(image.astype(np.float64), 2.0)
    level = np.percentile(smooth, 50)
    low = smooth.max() - smooth
    points = peak_local_max(low, min_distance=min_distance,
                            threshold_abs=smooth.max() - 0.9 * level, exclude_border=False)
    return points[:, 0], points[:, 1]
