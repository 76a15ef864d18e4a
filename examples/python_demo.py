"""cellkit from Python on the bundled images: nuclei labelled with ombrisk and tracked with
vesquin4. Runs from any folder, with cellkit and matplotlib installed; the
pictures go to OUT (default out/):

    python3 examples/python_demo.py [OUT]

    OUT/python_ombrisk.png   the nuclei, each cell tinted in its own colour
    OUT/python_vesquin4.png  the tracks of a time-lapse over its first frame
"""

import sys
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import cellkit  # noqa: E402


def label_nuclei(out):
    image = cellkit.data.nuclei()          # uint8, bright nuclei on a dark background
    dark = 256 - image.astype(np.float64)  # nuclei become dark, every value above 0
    dark[image < 48] = 0                   # background: never flooded
    start = time.perf_counter()
    labels = cellkit.ombrisk(dark, 30, 5)  # int32: 0 for the background, cells 1..n
    seconds = time.perf_counter() - start
    areas = np.bincount(labels.ravel())[1:]
    print(f"ombrisk: {image.shape[0]}x{image.shape[1]} image, {labels.max()} cells, median "
          f"area {np.median(areas):.0f} pixels, {seconds:.3f} s")

    # Each cell in a colour of its own, over the image.
    colours = np.random.default_rng(0).uniform(0.2, 1.0, size=(labels.max() + 1, 3))
    cell = (labels > 0)[..., None]
    grey = (image / 255.0)[..., None]
    overlay = np.where(cell, 0.45 * grey + 0.55 * colours[labels], grey)
    figure, axes = plt.subplots(1, 2, figsize=(12, 6.3))
    axes[0].imshow(image, cmap="gray")
    axes[0].set_title("cellkit.data.nuclei()")
    axes[1].imshow(overlay)
    axes[1].set_title(f"cellkit.ombrisk(dark, 30, 5): {labels.max()} cells")
    for axis in axes:
        axis.set_axis_off()
    figure.tight_layout()
    figure.savefig(out / "python_ombrisk.png", dpi=90)
    plt.close(figure)


def track_nuclei(out):
    movie = cellkit.data.mitocheck()  # (t, y, x) uint8
    # A marker at the top of each smoothed nucleus, as the Octave example puts them.
    tracks = cellkit.vesquin4(cellkit.maxima_markers(movie, floor=12), 10)
    table = cellkit.tracks_table(tracks)  # rows [track_id, t, y, x], 0-based
    whole = np.count_nonzero(tracks.length == movie.shape[0])
    print(f"vesquin4: {movie.shape[0]} frames of {movie.shape[1]}x{movie.shape[2]}, "
          f"{tracks.length.size} tracks, {whole} over the whole movie")

    figure, axis = plt.subplots(figsize=(7, 6.5))
    axis.imshow(movie[0], cmap="gray")
    for track_id in np.unique(table[:, 0]):
        path = table[table[:, 0] == track_id]
        axis.plot(path[:, 3], path[:, 2], linewidth=1.5)
        axis.plot(path[0, 3], path[0, 2], "s", markersize=3)
    axis.set_title(f"cellkit.vesquin4(stack, 10): {tracks.length.size} tracks")
    axis.set_axis_off()
    figure.tight_layout()
    figure.savefig(out / "python_vesquin4.png", dpi=90)
    plt.close(figure)


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else "out")
    out.mkdir(parents=True, exist_ok=True)
    label_nuclei(out)
    track_nuclei(out)


if __name__ == "__main__":
    main()
