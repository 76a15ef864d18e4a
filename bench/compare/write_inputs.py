#!/usr/bin/python3
"""Writes the inputs of compare_modules.sh: write_inputs.py FOLDER SIDE...

For every side, the peer benchmark's synthetic dark-cell images in 8 and 16 bits (ombrisk's
input) and the same with one seed per cell above the range (tavenor3's); then the
phase-contrast image of data/. Each file: int32 rows and columns, then the doubles in
column-major order, and a line of INDEX names it with the module and its parameters.
"""

import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "peer"))
from inputs import dark_cells, point_markers, write_double  # noqa: E402


def write(folder, index, name, image, module, parameters):
    path = os.path.join(folder, name + ".raw")
    write_double(path, image)
    index.write("\t".join([name, module, path] + [repr(p) for p in parameters]) + "\n")


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "INDEX"), "w") as index:
        for side in map(int, sys.argv[2:]):
            for bits in (8, 16):
                image = dark_cells(side, bits)
                name = "%d-bit_%dx%d" % (bits, side, side)
                write(folder, index, name, image, "ombrisk", [30.0, 5.0])
                rows, cols = point_markers(image)
                seeded = image.astype(np.float64)
                seeded[rows, cols] = 2.0 ** bits
                write(folder, index, name + "_seeds", seeded, "tavenor3", [2.0 ** bits - 1])
        from skimage.io import imread
        phase = imread(os.path.join(HERE, "..", "..", "data", "phase_contrast_t98g.png"))
        write(folder, index, "phase_contrast", phase, "ombrisk", [30.0, 5.0])


if __name__ == "__main__":
    main()
