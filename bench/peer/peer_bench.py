#!/usr/bin/python3
"""The peer benchmark: tavenor3 and ombrisk against scikit-image on the same inputs.

    /usr/bin/python3 bench/peer/peer_bench.py --toolbox build-bench/toolbox [options]

(bench/peer/run_peer.sh builds the toolbox and runs this.) For every workload the script
makes the input, writes it for our side, times the module in GNU Octave (one octave-cli per
workload, bench/peer/time_modules.m: a module call as a user makes it, input conversion and
output array included), then the Python package's function in this process (a float64
image in C order, as a numpy user holds it, converted, labelled and numbered as the
function does for any caller), and then scikit-image in this process, best of a few runs
each.

Workloads:
  grower    tavenor3(G, celllevel) against skimage.segmentation.watershed(image, markers):
            the same point markers, one per cell, are the watershed's markers and the
            grower's seeds (set one above celllevel, the top of the image's range).
  labeller  ombrisk(D, 30, 5) against watershed(image, markers), the markers being the
            labelled h-minima of the image, and against the whole pipeline
            h_minima + label + watershed.
Inputs: synthetic dark-cell images (bench/peer/inputs.py) of 512x512 and 2048x2048 in 8 and
16 bits, a series of 8-bit sizes for scaling, and the real images of data/ prepared as the
examples prepare them.

Rows "ombrisk ... / ws" compare with watershed alone, "/ hmin+ws" with the pipeline;
"ours n" is ombrisk's cell count in Python's numbering (1..n) and tavenor3's label count.
Printed per workload: the three times (seconds, the best wall-clock time of the runs), the
ratios skimage / Octave and skimage / Python (how many times faster ours is), all three in
nanoseconds per pixel, and the number of labels our side and skimage returned.
"""

import argparse
import os
import subprocess
import sys
import time
import warnings

import numpy as np
from scipy import ndimage
from skimage.measure import label as connected_components
from skimage.morphology import h_minima
from skimage.segmentation import watershed

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from inputs import dark_cells, point_markers, write_double  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "data")


# --- Timing ----------------------------------------------------------------------------------

def best_of(runs, call):
    """The shortest wall-clock and CPU times of `runs` calls, and the last result."""
    wall = cpu = float("inf")
    result = None
    for _ in range(runs):
        c0 = time.process_time()
        t0 = time.perf_counter()
        result = call()
        wall = min(wall, time.perf_counter() - t0)
        cpu = min(cpu, time.process_time() - c0)
    return wall, cpu, result


def time_ours(args, name, module, image, parameters, runs):
    """Best wall and CPU seconds of the module in Octave, and the largest label it returned."""
    path = os.path.join(args.work, name.replace(" ", "_").replace(",", "") + ".raw")
    write_double(path, image)
    manifest = path + ".txt"
    with open(manifest, "w") as f:
        f.write("\t".join([name, module, path, str(runs)] + [repr(p) for p in parameters]) + "\n")
    output = subprocess.run(
        ["octave-cli", "--no-gui", "--norc", "--no-history", "--quiet", "--eval",
         "addpath('%s'); time_modules('%s', '%s');" % (HERE, args.toolbox, manifest)],
        check=True, capture_output=True, text=True).stdout
    os.remove(path)
    os.remove(manifest)
    for line in output.splitlines():
        fields = line.split("\t")
        if fields[0] == "RESULT":
            return float(fields[2]), float(fields[3]), int(fields[4])
    raise RuntimeError("no result from Octave for " + name + ":\n" + output)


def time_python(args, module, image, parameters, runs):
    """Best wall and CPU seconds of the package's function, and the largest label."""
    function = getattr(args.cellkit, module)
    with warnings.catch_warnings():  # a tiny image without seeds, once: loading is not a call
        warnings.simplefilter("ignore")
        function(np.ones((2, 2)), *parameters)
    wall, cpu, labels = best_of(runs, lambda: function(image, *parameters))
    return wall, cpu, int(labels.max(initial=0))


# --- Report ----------------------------------------------------------------------------------

COLUMNS = "%-40s %10s %8s %8s %9s %6s %6s %8s %8s %8s %7s %7s"


def header():
    print(COLUMNS % ("workload", "size", "octave s", "python s", "skimage s", "x oct", "x py",
                     "oct ns", "py ns", "ski ns", "ours n", "ski n"))
    sys.stdout.flush()


def report(args, name, shape, octave, python, theirs, ours_labels, their_labels):
    pixels = shape[0] * shape[1]
    pick = 1 if args.cpu else 0
    octave_s, python_s, their_s = octave[pick], python[pick], theirs[pick]
    print(COLUMNS % (name, "%dx%d" % shape, "%.4f" % octave_s, "%.4f" % python_s,
                     "%.4f" % their_s, "%.2f" % (their_s / octave_s),
                     "%.2f" % (their_s / python_s), "%.1f" % (octave_s * 1e9 / pixels),
                     "%.1f" % (python_s * 1e9 / pixels), "%.1f" % (their_s * 1e9 / pixels),
                     ours_labels, their_labels))
    sys.stdout.flush()


def runs_for(args, pixels):
    if pixels > 4096 * 4096:
        return 1
    if pixels > 2048 * 2048:
        return max(1, args.runs - 1)
    return args.runs


# --- Workloads -------------------------------------------------------------------------------

def grower(args, name, image, points, top, mask=None):
    """tavenor3 with seeds at `points` one above celllevel `top` (NaN outside `mask`), against
    watershed with the same points as markers (and the mask)."""
    rows, cols = points
    grey = image.astype(np.float64)
    if mask is not None:
        grey[~mask] = np.nan
    grey[rows, cols] = top + 1
    runs = runs_for(args, image.size)
    ours = time_ours(args, name, "tavenor3", grey, [float(top)], runs)
    python = time_python(args, "tavenor3", grey, [float(top)], runs)
    del grey
    markers = np.zeros(image.shape, dtype=np.int32)
    markers[rows, cols] = np.arange(1, len(rows) + 1, dtype=np.int32)
    theirs = best_of(runs, lambda: watershed(image, markers, mask=mask))
    report(args, "tavenor3 " + name, image.shape, ours[:2], python[:2], theirs[:2], ours[2],
           int(theirs[2].max()))


def labeller(args, name, image, h, mask=None):
    """ombrisk(D, 30, 5) on the image as doubles, against watershed from the labelled h-minima
    and against the whole pipeline."""
    runs = runs_for(args, image.size)
    ours = time_ours(args, name, "ombrisk", image.astype(np.float64), [30.0, 5.0], runs)
    python = time_python(args, "ombrisk", image.astype(np.float64), [30.0, 5.0], runs)

    def pipeline():
        minima = h_minima(image, h)
        if mask is not None:
            minima &= mask
        return watershed(image, connected_components(minima, connectivity=1), mask=mask)

    whole = best_of(runs, pipeline)
    minima = h_minima(image, h)
    if mask is not None:
        minima &= mask
    markers = connected_components(minima, connectivity=1)
    alone = best_of(runs, lambda: watershed(image, markers, mask=mask))
    their_labels = int(alone[2].max())
    report(args, "ombrisk " + name + " / ws", image.shape, ours[:2], python[:2], alone[:2],
           python[2], their_labels)
    report(args, "ombrisk " + name + " / hmin+ws", image.shape, ours[:2], python[:2],
           whole[:2], python[2], their_labels)


def synthetic(side, bits):
    image = dark_cells(side, bits)
    return image, "synthetic %d-bit" % bits


def smooth(image, sigma):
    """As examples/smooth_image.m: a Gaussian of radius ceil(3 sigma), renormalised at the
    border."""
    radius = int(np.ceil(3 * sigma))
    ones = np.ones(image.shape)
    kw = dict(sigma=sigma, mode="constant", truncate=radius / sigma)
    return ndimage.gaussian_filter(image, **kw) / ndimage.gaussian_filter(ones, **kw)


def local_maxima(image, radius):
    """The pixels that are the largest of the square of half-width `radius` around them."""
    return image == ndimage.maximum_filter(image, size=2 * radius + 1, mode="constant",
                                           cval=-np.inf)


def grey_to_unit(image, upper_percent):
    values = np.sort(image[~np.isnan(image)])
    low = values[0]
    high = values[max(0, int(round(values.size * upper_percent / 100)) - 1)]
    high = max(high, low + 1)
    return np.clip((image - low) / (high - low), 0, 1)


def read(name):
    from skimage.io import imread
    return imread(os.path.join(DATA, name))


def bbbc022_grower():
    """The grower's input as examples/tavenor3_demo.m makes it: cell bodies dark on 1..253,
    nuclei at 1, background (never labelled) outside the mask, one seed per nucleus."""
    nuclei = read("bbbc022_u2os_nuclei.png").astype(np.float64)
    cells = read("bbbc022_u2os_cytoplasm.png").astype(np.float64)
    smooth_nuclei = smooth(nuclei, 4)
    seeds = local_maxima(smooth_nuclei, 8) & (smooth_nuclei > 300)
    smooth_cells = smooth(cells, 1.5)
    grey = 1 + np.rint(252 * (1 - grey_to_unit(smooth_cells, 99.5)))
    grey[nuclei > 300] = 1
    mask = smooth_cells >= 280
    return grey.astype(np.uint8), np.nonzero(seeds), mask


def run(args):
    header()
    if args.group in (None, "grower"):
        run_grower(args)
    if args.group in (None, "labeller"):
        run_labeller(args)


def run_grower(args):
    quick = args.quick
    # Grower: the sizes for scaling in 8 bits, 512 and 2048 in 16 bits, the real field.
    sides8 = [256] if quick else [256, 512, 1024, 2048, 4096] + ([8192] if args.huge else [])
    for side in sides8:
        image, kind = synthetic(side, 8)
        grower(args, kind, image, point_markers(image), 255)
    for side in ([] if quick else [512, 2048]):
        image, kind = synthetic(side, 16)
        grower(args, kind, image, point_markers(image), 65535)
    grey, seeds, mask = bbbc022_grower()
    grower(args, "bbbc022 demo input", grey, seeds, 254, mask)


def run_labeller(args):
    quick = args.quick
    # Labeller: 8 and 16 bits, a large 8-bit image, and the real images as the bench has them.
    sizes = [(256, 8)] if quick else [(512, 8), (2048, 8), (512, 16), (2048, 16), (4096, 8)]
    if args.huge:
        sizes.append((8192, 8))
    for side, bits in sizes:
        image, kind = synthetic(side, bits)
        labeller(args, kind, image, round(0.04 * (2 ** bits - 1)))
    nuclei = read("nuclei_human_cells.png")
    dark = 256 - nuclei.astype(np.int32)
    dark[nuclei < 48] = 0
    labeller(args, "nuclei_human_cells", dark.astype(np.uint16), 10, mask=dark > 0)
    if not quick:
        phase = read("phase_contrast_t98g.png")
        labeller(args, "phase_contrast_t98g", phase, round(0.04 * float(phase.max() - phase.min())))
        u2os = read("bbbc022_u2os_nuclei.png").astype(np.int32)
        inverted = (u2os.max() + 1 - u2os).astype(np.uint16)
        labeller(args, "bbbc022 nuclei inverted", inverted,
                 round(0.04 * float(inverted.max() - inverted.min())))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--toolbox", required=True, help="folder holding the built modules")
    parser.add_argument("--python-package", required=True,
                        help="folder holding the built Python package (cellkit/)")
    parser.add_argument("--work", default=None, help="folder for the inputs written for Octave")
    parser.add_argument("--runs", type=int, default=3, help="runs per workload (best is kept)")
    parser.add_argument("--quick", action="store_true", help="two tiny workloads, one run")
    parser.add_argument("--huge", action="store_true", help="add 8192x8192 workloads")
    parser.add_argument("--group", choices=("grower", "labeller"), default=None,
                        help="run one group of workloads only")
    parser.add_argument("--cpu", action="store_true",
                        help="report process CPU time instead of wall-clock time")
    args = parser.parse_args()
    args.toolbox = os.path.abspath(args.toolbox)
    sys.path.insert(0, os.path.abspath(args.python_package))
    import cellkit

    args.cellkit = cellkit
    args.work = os.path.abspath(args.work or os.path.join(args.toolbox, "..", "peer-data"))
    if args.quick:
        args.runs = 1
    os.makedirs(args.work, exist_ok=True)
    run(args)


if __name__ == "__main__":
    main()
