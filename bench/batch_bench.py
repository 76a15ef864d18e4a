"""Throughput of the cellkit command on a folder of images, against a plain Python loop.

    python3 bench/batch_bench.py [--copies N] [--repeat R]

Writes N copies of two bundled images (the 16-bit phase-contrast field, 1022 x 1024, and
the 8-bit nuclei, 512 x 512) into a scratch folder and labels them:

  loop         a Python script of its own, one file after another: read, prepare,
               ombrisk, write the TIFF, as a user would write it; a second run in this
               process times each step, which shows what bounds a file;
  threads 1/2  `cellkit label` with a pool of 1 and 2 threads on this machine;
  dask 1/2     `cellkit label --scheduler` on a local Dask cluster of 1 and 2 worker
               processes of one thread each, started here and not timed: as `dask worker`
               starts them, each under a nanny, and with --preload cellkit.worker.

Every row but the step times is a process of its own, started and ended within the time.
Prints images per second (best of R runs) and each row's speed-up over the loop. The
package must be importable (PYTHONPATH=build/python, or installed), and the command too
(python3 -m cellkit is used).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import cellkit
from cellkit import _files


def make_folder(folder, copies):
    for k in range(copies):
        shutil.copy(cellkit.data.path("phase_contrast_t98g.png"), folder / f"phase {k:03d}.png")
        shutil.copy(cellkit.data.path("nuclei_human_cells.png"), folder / f"nuclei {k:03d}.png")
    return sorted(folder.iterdir())


def plain_loop(files, out):
    """Every step by hand, one file after another; returns the seconds of each step."""
    steps = dict.fromkeys(["read", "prepare", "ombrisk", "write"], 0.0)
    out.mkdir(exist_ok=True)
    for path in files:
        start = time.perf_counter()
        image = _files.read_image(path)
        read = time.perf_counter()
        grey = cellkit.prepare(image)
        prepared = time.perf_counter()
        labels = cellkit.ombrisk(grey, 30, 5)
        labelled = time.perf_counter()
        _files.write_tiff(out / f"{path.stem}_labels.tif", labels.astype(np.uint16))
        written = time.perf_counter()
        steps["read"] += read - start
        steps["prepare"] += prepared - read
        steps["ombrisk"] += labelled - prepared
        steps["write"] += written - labelled
    return steps


LOOP_SCRIPT = """
import sys
from pathlib import Path
import numpy as np
import cellkit
from cellkit import _files
out = Path(sys.argv[2])
out.mkdir(exist_ok=True)
for path in sorted(Path(sys.argv[1]).iterdir()):
    labels = cellkit.ombrisk(cellkit.prepare(_files.read_image(path)), 30, 5)
    _files.write_tiff(out / f"{path.stem}_labels.tif", labels.astype(np.uint16))
"""


def loop_script(folder, out):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", LOOP_SCRIPT, str(folder), str(out)], check=True)
    return time.perf_counter() - start


def command(folder, out, *options):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "cellkit", "label", str(folder), "-o", str(out),
                    "--quiet", *options], check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def best(repeat, measure):
    return min(measure() for _ in range(repeat))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--copies", type=int, default=24, help="copies of each image (24)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each row (3)")
    args = parser.parse_args()
    scratch = Path(tempfile.mkdtemp(prefix="cellkit-batch-"))
    try:
        folder = scratch / "images"
        folder.mkdir()
        files = make_folder(folder, args.copies)
        count = len(files)
        rows = []
        steps = None
        for k in range(args.repeat):
            taken = plain_loop(files, scratch / f"steps{k}")
            if steps is None or sum(taken.values()) < sum(steps.values()):
                steps = taken
        loop = best(args.repeat, lambda: loop_script(folder, Path(tempfile.mkdtemp(
            dir=scratch))))
        rows.append(("plain loop (a script)", loop))
        for threads in (1, 2):
            rows.append((f"cellkit label, {threads} thread{'s' * (threads > 1)}",
                         best(args.repeat, lambda: command(folder, Path(tempfile.mkdtemp(
                             dir=scratch)), "--workers", str(threads)))))
        try:
            from distributed import Client, LocalCluster
        except ImportError:
            LocalCluster = None
        if LocalCluster is not None:
            # As `dask worker` starts them (under a nanny), and with the package's preload.
            for preload in ([], ["cellkit.worker"]):
                for workers in (1, 2):
                    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None, preload=preload) as cluster, \
                            Client(cluster):
                        address = cluster.scheduler_address
                        rows.append((f"--scheduler, {workers} worker{'s' * (workers > 1)}"
                                     f"{', preload' if preload else ''}",
                                     best(args.repeat, lambda: command(
                                         folder, Path(tempfile.mkdtemp(dir=scratch)),
                                         "--scheduler", address))))

        pixels = args.copies * (1022 * 1024 + 512 * 512)
        print(f"{count} images ({args.copies} x phase contrast 1022x1024 16-bit, "
              f"{args.copies} x nuclei 512x512 8-bit), {pixels / 1e6:.1f} Mpixel; "
              f"best of {args.repeat}; {os.cpu_count()} cores")
        print(f"{'run':<40} {'s':>8} {'images/s':>9} {'vs loop':>8}")
        for name, seconds in rows:
            print(f"{name:<40} {seconds:8.2f} {count / seconds:9.1f} {loop / seconds:8.2f}")
        total = sum(steps.values())
        print("\nwhere the loop's time goes (in this process, best of the runs):")
        for step, seconds in steps.items():
            print(f"  {step:<8} {seconds:7.2f} s  {100 * seconds / total:5.1f} %  "
                  f"{1e9 * seconds / pixels:6.1f} ns/pixel")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
