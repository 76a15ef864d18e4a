"""How calls from a thread pool scale: 8 images, one after another and then on a pool of
as many threads as the machine has cores (or --threads). cellkit releases the GIL while
its C++ code runs, so the pool's time should approach serial / cores.

    python3 bench/bench_threads.py [--threads N] [--repeat R]
    python3 bench/bench_threads.py --one-call [--threads N] [--rounds K]

With --one-call: one ombrisk call at a time on the peer benchmark's synthetic images
(bench/peer/inputs.py, 2048x2048 and 4096x4096, 8 and 16 bits), with threads=1 and with
threads=N (default: the machine's cores), in turn for K rounds (default 5); each round's
time is the best of two calls, and the line gives the rounds' ratios and their median.

Run from the source folder with the package importable (installed, or
PYTHONPATH=build/python after ./run.sh). Times are the best of R runs (default 3), in
seconds of wall-clock time; on a shared machine, run it when the machine is quiet.
"""

import argparse
import os
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import tifffile
from PIL import Image

import cellkit

DATA = Path(__file__).resolve().parents[1] / "data"


def eight_views(image):
    """The image in its 8 orientations: 8 different inputs of the same size and content."""
    views = []
    for flipped in (image, image[::-1]):
        for turns in range(4):
            views.append(np.ascontiguousarray(np.rot90(flipped, turns)))
    return views


def workloads():
    phase = np.asarray(Image.open(DATA / "phase_contrast_t98g.png"))  # 16-bit range
    bright = np.asarray(Image.open(DATA / "nuclei_human_cells.png"))
    dark = 256 - bright.astype(np.float64)  # prepared as in the README's worked call
    dark[bright < 48] = 0
    # The U2OS nuclei, tiled 3 x 3: dark nuclei, a seed pixel at each brightest spot.
    nuclei = np.tile(np.asarray(Image.open(DATA / "bbbc022_u2os_nuclei.png")), (3, 3))
    seeded = np.where(nuclei > 1400, 255, np.clip((1500 - nuclei) / 6, 0, 253))
    movie = tifffile.imread(DATA / "timelapse_nuclei_cancer_cells_uint8.tif")
    stacks = [np.where(np.roll(movie, k, axis=0) > 200, 255, 0).astype(np.uint8)
              for k in range(8)]
    return [
        ("ombrisk, 16-bit phase contrast 1022x1024", eight_views(phase),
         lambda a: cellkit.ombrisk(a, 30, 5)),
        ("ombrisk, nuclei 512x512 (8-bit, the worked call)", eight_views(dark),
         lambda a: cellkit.ombrisk(a, 30, 5)),
        ("tavenor3, U2OS nuclei tiled 1185x2085", eight_views(seeded),
         lambda a: cellkit.tavenor3(a, 254)),
        ("vesquin4, 48 frames of 130x130", stacks,
         lambda s: cellkit.vesquin4(s, 12, axis_order="trc")),
    ]


def best_time(run, repeat):
    """The shortest wall-clock time of `repeat` runs, and the CPU time of the process over
    that run: with the GIL released, a pool keeps several cores busy at once, and the CPU
    time exceeds the wall-clock time even where other work on the machine slows both."""
    best = (float("inf"), 0.0)
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        run()
        best = min(best, (time.perf_counter() - start, time.process_time() - start_cpu))
    return best


def python_progress_during_a_call(call, image):
    """How fast a Python loop runs while another thread is inside `call`, against its rate
    alone: near 1 when the call releases the GIL, near 0 when it holds it. Robust to other
    work on the machine, which slows both rates alike."""
    def count_for(seconds):
        start, count = time.perf_counter(), 0
        while time.perf_counter() - start < seconds:
            count += 1
        return count / seconds

    alone = count_for(1.0)
    done = threading.Event()
    worker = threading.Thread(target=lambda: (call(image), done.set()))
    start, count = time.perf_counter(), 0
    worker.start()
    while not done.is_set():
        count += 1
    worker.join()
    return count / (time.perf_counter() - start) / alone


def one_call(threads, rounds):
    sys.path.insert(0, str(Path(__file__).resolve().parent / "peer"))
    from inputs import dark_cells

    print(f"cellkit {cellkit.__version__}, {os.cpu_count()} cores, ombrisk(image, 30, 5) with "
          f"threads=1 and threads={threads} in turn, {rounds} rounds of the best of 2 calls; "
          f"load average before: {os.getloadavg()[0]:.1f}")
    print(f"| image | threads=1 ns/px | threads={threads} ns/px | speed-up (rounds) | median |")
    print("|---|---|---|---|---|")
    for side, bits in [(2048, 8), (2048, 16), (4096, 8), (4096, 16)]:
        image = dark_cells(side, bits).astype(np.float64)
        per_pixel = 1e9 / image.size
        alone, shared, ratios = [], [], []
        for k in range(rounds):
            order = [1, threads] if k % 2 == 0 else [threads, 1]
            took = {n: best_time(lambda n=n: cellkit.ombrisk(image, 30, 5, threads=n), 2)[0]
                    for n in order}
            alone.append(took[1] * per_pixel)
            shared.append(took[threads] * per_pixel)
            ratios.append(took[1] / took[threads])
        print(f"| {side}x{side} {bits}-bit | {min(alone):.1f} | {min(shared):.1f} | "
              f"{' '.join(f'{r:.3f}' for r in ratios)} | {statistics.median(ratios):.3f} |",
              flush=True)
    print(f"load average after: {os.getloadavg()[0]:.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--one-call", action="store_true",
                        help="one call on several threads instead of calls on a pool")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if args.one_call:
        one_call(args.threads, args.rounds)
        return
    print(f"cellkit {cellkit.__version__}, {os.cpu_count()} cores, pool of {args.threads} "
          f"threads, 8 inputs per workload, best of {args.repeat}; load average before: "
          f"{os.getloadavg()[0]:.1f}")
    print("| workload | one by one s | pool s | speed-up | pool CPU s / wall s |")
    print("|---|---|---|---|---|")
    with ThreadPoolExecutor(max_workers=args.threads) as pool:
        for name, inputs, call in workloads():
            serial, _ = best_time(lambda: [call(x) for x in inputs], args.repeat)
            pooled, cpu = best_time(lambda: list(pool.map(call, inputs)), args.repeat)
            print(f"| {name} | {serial:.3f} | {pooled:.3f} | {serial / pooled:.2f} | "
                  f"{cpu / pooled:.2f} |", flush=True)
        name, inputs, call = workloads()[0]
        print(f"\nA Python loop runs at {python_progress_during_a_call(call, inputs[0]):.0%} "
              f"of its rate alone while another thread is inside {name.split(',')[0]}.")
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
