"""Where the labeller's and the grower's work goes, phase by phase.

    /usr/bin/python3 bench/phases/run_phases.py [--sides 512 4096] [--bits 8 16] [--no-callgrind]

Builds build-phases/ with -DCELLKIT_PHASES=ON, where each phase of the two algorithms is a
function of its own (matx/phases.h), and no call is compiled as a jump, so that a phase
stays on the call stack of what it calls; writes the peer benchmark's synthetic images
(bench/peer/inputs.py: ombrisk's input, and tavenor3's with one seed per cell), and for
each workload measures:

  ns/px      the best time of 10 runs (3 from 2048x2048 on), and each phase's share of
             it, sampled by perf (cpu-clock, with call stacks: a phase counts what it calls);
  instr/px   instructions, from callgrind, inclusive;
  D1 mis/px  first-level data cache misses (reads and writes) of callgrind's simulated
  LL mis/px  caches, and last-level ones;
  br mis/px  conditional branches callgrind's simple predictor gets wrong: a processor's
             predictor guesses better, but not branches on data it has no pattern for.

This machine's processor counts no cycles for perf (`perf stat -e cycles` says "not
supported"), so time stands in for cycles; callgrind's counts are exact and the same at
every run. callgrind runs the algorithm once, some 50 to 100 times slower.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parents[1]
BUILD = SOURCE / "build-phases"
sys.path.insert(0, str(HERE.parent / "peer"))

# (function, phase) in the order the algorithm calls them; a phase whose function calls
# another's is charged without it.
PHASES = {
    "ombrisk": [("prepare", "prepare"), ("pixelsByFloodingLevel", "sort by level"),
                ("floodGroup", "flood"), ("growingCells", "grow"),
                ("findingNewCells", "new cells"), ("mergeCells", "merge"),
                ("writeLabels", "write")],
    "tavenor3": [("sortingClaimable", "sort by grey"),
                 ("plantingSeedsInStorageOrder", "seeds"),
                 ("namingByClaimLevel", "name by level"), ("sortingByLabel", "sort by label"),
                 ("walkingLevel", "walk"), ("writingLabels", "widen and write")],
}
# Inclusive costs that hold another phase's.
INSIDE = {"walkingLevel": ["namingByClaimLevel", "sortingByLabel"]}


def build():
    subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                    "-DCELLKIT_PHASES=ON", "-DCELLKIT_TESTS=OFF", "-DCELLKIT_PYTHON=OFF",
                    "-DCELLKIT_OCTAVE=OFF", "-DCELLKIT_MATLAB=OFF",
                    "-DCMAKE_CXX_FLAGS=-fno-omit-frame-pointer -fno-optimize-sibling-calls -g"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "cellkit_phases", "--parallel",
                    str(os.cpu_count() or 1)], check=True, stdout=subprocess.DEVNULL)
    return BUILD / "bench" / "cellkit_phases"


def write_inputs(folder, side, bits):
    from inputs import dark_cells, point_markers, write_double

    image = dark_cells(side, bits)
    write_double(folder / f"ombrisk_{side}_{bits}.raw", image)
    rows, cols = point_markers(image)
    seeded = image.astype(float)
    seeded[rows, cols] = 2 ** bits
    write_double(folder / f"tavenor3_{side}_{bits}.raw", seeded)
    return 2 ** bits - 1


def function_of(name):
    """The plain name of a function in perf's or callgrind's spelling."""
    match = re.search(r"(\w+)(<|\(|$)", name.strip())
    return match.group(1) if match else name


def perf_shares(program, arguments):
    with tempfile.NamedTemporaryFile(suffix=".data") as data:
        subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "5000", "-g",
                        "-o", data.name, str(program), *arguments], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        report = subprocess.run(["perf", "report", "-i", data.name, "--children", "--stdio",
                                 "--sort", "symbol", "-g", "none"], check=True,
                                capture_output=True, text=True).stdout
    shares = {}
    for line in report.splitlines():
        # children%  self%  [.] symbol  (then columns of "-")
        match = re.match(r"\s*([\d.]+)%\s+([\d.]+)%\s+\[\.\]\s+(.*?)(\s{2,}|$)", line)
        if match:
            shares.setdefault(function_of(match.group(3)), float(match.group(1)) / 100)
    return shares


def callgrind_counts(program, arguments):
    with tempfile.NamedTemporaryFile(suffix=".out") as out:
        subprocess.run(["valgrind", "--tool=callgrind", "--cache-sim=yes", "--branch-sim=yes",
                        f"--callgrind-out-file={out.name}", str(program), *arguments],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        report = subprocess.run(["callgrind_annotate", "--inclusive=yes",
                                 "--show=Ir,D1mr,D1mw,DLmr,DLmw,Bcm", out.name], check=True,
                                capture_output=True, text=True).stdout
    # Each line: six counts ("." for none), each with its share in parentheses, then
    # file:function. A function's code inlined from other files (headers) has lines of its
    # own, so a function's inclusive count is the sum of its lines.
    counts = {}
    for line in report.splitlines():
        match = re.match(r"((?:\s*(?:[\d,]+|\.)(?:\s*\([^)]*\))?){6})\s+(\S.*)$", line)
        if not match:
            continue
        fields = re.sub(r"\([^)]*\)", " ", match.group(1)).split()
        values = [0 if f == "." else int(f.replace(",", "")) for f in fields]
        function = function_of(match.group(2).split(":", 1)[-1])
        counts[function] = [a + b for a, b in zip(counts.get(function, [0] * 6), values)]
    return counts


def exclusive(table, function):
    value = table.get(function)
    if value is None:
        return None
    for inner in INSIDE.get(function, []):
        other = table.get(inner)
        if other is not None:
            value = [a - b for a, b in zip(value, other)] if isinstance(value, list) else \
                value - other
    return value


def measure(program, module, path, side, top, callgrind):
    pixels = side * side
    arguments = [module, str(path), "10" if side < 2048 else "3"] + \
        ([str(top)] if module == "tavenor3" else [])
    line = subprocess.run([str(program), *arguments], check=True, capture_output=True,
                          text=True).stdout
    total = float(re.search(r"([\d.]+) ns/pixel", line).group(1))
    shares = perf_shares(program, arguments)
    counts = callgrind_counts(program, arguments[:2] + ["1"] + arguments[3:]) if callgrind \
        else {}
    rows = []
    for function, phase in PHASES[module]:
        share = exclusive(shares, function)
        count = exclusive(counts, function)
        rows.append((phase, None if share is None else share * total / _runs_share(shares),
                     None if count is None else [c / pixels for c in count]))
    return total, rows


def _runs_share(shares):
    """The share of the samples inside main's runs (the rest reads the image)."""
    return shares.get("labellingCells") or shares.get("spreadingLabels") or 1.0


def print_table(module, side, bits, total, rows):
    print(f"\n{module}, synthetic {bits}-bit {side}x{side}: {total:.1f} ns/px in all")
    print(f"  {'phase':<18} {'ns/px':>7} {'instr/px':>9} {'D1 mis/px':>10} {'LL mis/px':>10}"
          f" {'br mis/px':>10}")
    for phase, ns, counts in rows:
        ns_text = "-" if ns is None else f"{ns:.1f}"
        if counts is None:
            print(f"  {phase:<18} {ns_text:>7} {'-':>9} {'-':>10} {'-':>10} {'-':>10}")
        else:
            ir, d1r, d1w, dlr, dlw, bcm = counts
            print(f"  {phase:<18} {ns_text:>7} {ir:9.0f} {d1r + d1w:10.2f} {dlr + dlw:10.3f}"
                  f" {bcm:10.2f}")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sides", type=int, nargs="+", default=[512, 4096])
    parser.add_argument("--bits", type=int, nargs="+", default=[8])
    parser.add_argument("--modules", nargs="+", default=["ombrisk", "tavenor3"])
    parser.add_argument("--no-callgrind", action="store_true", help="time only")
    args = parser.parse_args()
    program = build()
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        for bits in args.bits:
            for side in args.sides:
                top = write_inputs(folder, side, bits)
                for module in args.modules:
                    total, rows = measure(program, module, folder / f"{module}_{side}_{bits}.raw",
                                          side, top, not args.no_callgrind)
                    print_table(module, side, bits, total, rows)


if __name__ == "__main__":
    main()
