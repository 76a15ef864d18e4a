"""The cellkit command: folders of microscopy files to label images and track tables."""

from __future__ import annotations

import argparse
import math
import os
import re
import sys
from pathlib import Path
from typing import List, Optional, Sequence

from . import _core
from ._batch import (DaskPool, Interrupted, Options, Progress, ThreadPool, keep_freed_memory,
                     output_files, record_run, run, stop_on_terminate, write_summary)
from ._files import IMAGE_SUFFIXES

DESCRIPTION = """\
Label and track cells in folders of microscopy images, on this machine or on a Dask
cluster. Each input is a file, or a folder whose TIFF and PNG files are all taken. Every
output goes into the output folder, named after its input; a file whose outputs a run
already completed is skipped when the command is run again (--overwrite redoes it). The
per-file summary, <command>_summary.csv, lists each file's size, what was found, the
time taken and its status (done, skipped or failed, with the error). The exit status is 0
when every file is done or skipped, 1 when one failed, 2 for bad options, 130 when cut off.
"""

EPILOG = {
    "label": """\
examples:
  cellkit label nuclei/ -o labels/                 # 8- or 16-bit images of bright nuclei
  cellkit label plate1/*.tif -o labels/ --overlay --background 120
  cellkit label images/ -o labels/ --scheduler tcp://scheduler-host:8786

outputs, for each image X.tif or X.png:
  X_labels.tif    the cells, numbered 1..n, 0 for the background: uint16, or uint32 when
                  there are more than 65535 cells (Fiji, napari, tifffile open it)
  X_overlay.png   with --overlay: each cell tinted in its own colour over the image
""",
    "track": """\
examples:
  cellkit track movies/ -o tracks/                  # multi-page TIFFs, (t, y, x)
  cellkit track movie.tif -o tracks/ --max-distance 15 --overlay
  cellkit track movies/ -o tracks/ --markers cells  # markers at the centres of the cells
                                                    # that label finds in each frame

outputs, for each movie X.tif:
  X_tracks.csv    one row per track point: track_id, t, y, x, all 0-based; pandas reads
                  it, and napari's tracks layer takes its rows
  X_tracks.png    with --overlay: the tracks drawn over the first frame
""",
    "grow": """\
examples:
  cellkit label nuclei/ -o nuclei_labels/
  cellkit grow cell_bodies/ --seeds nuclei_labels/ -o cells/

Each image X of the inputs (the cell bodies, bright) is paired with the nuclei label image
X_labels.tif (or X.tif, X.png) of the --seeds folder. One seed pixel per nucleus, the one
nearest its centre, grows over the cell body with tavenor3, the darkest (for bright cells,
the brightest) parts first; the nuclei are reached first and keep all their pixels, and
the background stays 0.

outputs, for each image X.tif or X.png:
  X_cells.tif     the cells, each numbered as its nucleus, 0 for the background
  X_overlay.png   with --overlay: each cell tinted in its own colour over the image
""",
}


def _level(text: str):
    """A background or floor level: a number, 'otsu' or 'none'."""
    if text.lower() == "otsu":
        return "otsu"
    if text.lower() == "none":
        return None
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"a number, 'otsu' or 'none', not {text!r}")
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"a finite number, not {text!r}")
    return value


def _number(minimum: float, integer: bool = False):
    def parse(text: str):
        try:
            value = int(text) if integer else float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{'an integer' if integer else 'a number'}, "
                                             f"not {text!r}")
        if not value >= minimum or (not integer and math.isinf(value)):
            raise argparse.ArgumentTypeError(f"a finite number of at least {minimum}, "
                                             f"not {text!r}")
        return value
    return parse


def _size(text: str) -> float:
    """A memory size: 512M, 4G, 1.5GiB, or bytes."""
    match = re.fullmatch(r"\s*([0-9.]+)\s*([kKmMgGtT]?)(i?[bB])?\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f"a size such as 512M or 4G, not {text!r}")
    try:
        number = float(match.group(1))
    except ValueError:
        raise argparse.ArgumentTypeError(f"a size such as 512M or 4G, not {text!r}")
    return number * 1024 ** " KMGT".index(match.group(2).upper() or " ")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="cellkit", description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Run 'cellkit <command> --help' for a command's options and examples.")
    parser.add_argument("--version", action="version", version=f"cellkit {_core.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="command")
    summaries = {"label": "label cells in each image with ombrisk",
                 "track": "track cells through each time-lapse with vesquin4",
                 "grow": "grow whole cells from their nuclei with tavenor3"}
    for name, summary in summaries.items():
        command = commands.add_parser(name, help=summary, description=f"{summary[0].upper()}"
                                      f"{summary[1:]}.", epilog=EPILOG[name],
                                      formatter_class=argparse.RawDescriptionHelpFormatter)
        command.set_defaults(command_parser=command)
        command.add_argument("inputs", nargs="+", metavar="INPUT",
                             help="image files, or folders of them (TIFF, PNG)")
        command.add_argument("-o", "--output", required=True, type=Path, metavar="FOLDER",
                             help="folder for every output (made when missing)")
        add_run_options(command)
        if name == "track":
            add_track_options(command)
        if name == "grow":
            command.add_argument("--seeds", required=True, type=Path, metavar="FOLDER",
                                 help="folder of the nuclei label images, one per input")
            add_preparation_options(command, labelling=False)
        else:
            add_preparation_options(command, labelling=True, for_markers=name == "track")
    return parser


def add_run_options(command: argparse.ArgumentParser) -> None:
    group = command.add_argument_group("running")
    group.add_argument("--overlay", action="store_true",
                       help="also write a PNG picture of each result")
    group.add_argument("--overwrite", action="store_true",
                       help="redo files whose outputs exist (default: skip them)")
    group.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running Dask scheduler, e.g. tcp://scheduler-host:8786; "
                            "without it, a pool of threads on this machine")
    group.add_argument("--workers", type=_number(1, integer=True), metavar="N",
                       default=os.cpu_count() or 1,
                       help="threads on this machine (default: one per core, %(default)s)")
    group.add_argument("--max-memory", type=_size, metavar="SIZE",
                       help="memory one file's work may take, e.g. 4G; a file whose header "
                            "declares more is refused unread (default: the worker's memory "
                            "over its threads)")
    group.add_argument("--quiet", action="store_true", help="no progress bar")


def add_preparation_options(command: argparse.ArgumentParser, labelling: bool,
                            for_markers: bool = False) -> None:
    title = "cells for --markers cells" if for_markers else "preparation"
    group = command.add_argument_group(title)
    group.add_argument("--dark", action="store_true",
                       help="the cells are dark on a bright background (default: bright "
                            "cells, as in fluorescence, inverted for the flood)")
    group.add_argument("--background", type=_level, default="otsu", metavar="LEVEL",
                       help="grey value below which a pixel is background, never part of a "
                            "cell: a number, 'otsu' (default: Otsu's threshold of each "
                            "image, for 8 and 16 bits alike) or 'none'")
    if labelling:
        group.add_argument("--cell-size-limit", type=_number(0), default=30.0, metavar="PX",
                           help="touching pieces smaller than this many pixels merge "
                                "(default 30)")
        group.add_argument("--threshold", type=_number(-math.inf), default=5.0,
                           metavar="LEVEL",
                           help="touching cells merge whatever their size while the flood "
                                "is below this level (default 5; 0: never)")


def add_track_options(command: argparse.ArgumentParser) -> None:
    group = command.add_argument_group("tracking")
    group.add_argument("--max-distance", type=_number(0), default=10.0, metavar="PX",
                       help="largest movement of a cell between frames, in pixels "
                            "(default 10; the search starts at 3)")
    group.add_argument("--markers", choices=["maxima", "cells"], default="maxima",
                       help="one marker per cell at the top of each smoothed nucleus "
                            "(maxima, default) or at the centre of each cell ombrisk "
                            "labels (cells)")
    group.add_argument("--sigma", type=_number(0.1), default=4.0, metavar="PX",
                       help="smoothing before the maxima, about a third of a nucleus's "
                            "radius (default 4)")
    group.add_argument("--radius", type=_number(1, integer=True), default=8, metavar="PX",
                       help="markers are at least this far apart, about a nucleus's radius "
                            "(default 8)")
    group.add_argument("--floor", type=_level, default="otsu", metavar="LEVEL",
                       help="only maxima above this smoothed value are markers: a number, "
                            "'otsu' (default, each frame's own) or 'none'")


def find_inputs(parser: argparse.ArgumentParser, given: Sequence[str]) -> List[str]:
    """The files the inputs name: files as given, folders' TIFF and PNG files in name order."""
    found: List[str] = []
    for name in given:
        path = Path(name)
        if path.is_dir():
            found += sorted(str(file) for file in path.iterdir()
                            if file.is_file() and file.suffix.lower() in IMAGE_SUFFIXES
                            and not file.name.startswith("."))
        elif path.is_file():
            found.append(str(path))
        else:
            parser.error(f"no such file or folder: {name}")
    if not found:
        parser.error("the inputs hold no TIFF or PNG file")
    return list(dict.fromkeys(found))


def check_outputs(parser: argparse.ArgumentParser, command: str, inputs: Sequence[str],
                  out: Path, overlay: bool) -> None:
    """Every input writes outputs of its own, and none is an input."""
    owners = {}
    for path in inputs:
        for output in output_files(command, path, str(out), overlay):
            if output.name in owners:
                parser.error(f"{owners[output.name]} and {path} would both write "
                             f"{output.name}: give them separate runs")
            owners[output.name] = path
            if output.resolve() == Path(path).resolve():
                parser.error(f"{path} would be overwritten by its own output")


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    subparser = args.command_parser
    inputs = find_inputs(subparser, args.inputs)
    out: Path = args.output
    if out.exists() and not out.is_dir():
        subparser.error(f"the output {out} is a file, not a folder")
    if args.command == "grow" and not args.seeds.is_dir():
        subparser.error(f"no such folder: {args.seeds}")
    check_outputs(subparser, args.command, inputs, out, args.overlay)
    options = Options(
        command=args.command, overlay=args.overlay, overwrite=args.overwrite,
        memory=args.max_memory, bright=not args.dark, background=args.background,
        cell_size_limit=getattr(args, "cell_size_limit", 30.0),
        threshold=getattr(args, "threshold", 5.0),
        max_distance=getattr(args, "max_distance", 10.0),
        markers=getattr(args, "markers", "maxima"), sigma=getattr(args, "sigma", 4.0),
        radius=getattr(args, "radius", 8), floor=getattr(args, "floor", "otsu"),
        seeds=str(getattr(args, "seeds", "")))

    if args.scheduler:
        try:
            pool = DaskPool(args.scheduler)
        except ImportError:
            subparser.error("--scheduler needs Dask's distributed package (on Debian: "
                            "apt-get install python3-distributed)")
        except (OSError, TimeoutError, ValueError) as error:
            subparser.error(f"cannot reach the Dask scheduler at {args.scheduler}: {error}")
    else:
        pool = ThreadPool(args.workers)
    out.mkdir(parents=True, exist_ok=True)
    earlier = record_run(out, options)
    if earlier is not None:
        pool.close()
        subparser.error(f"{out} holds outputs made with other parameters ({earlier}): give "
                        f"--overwrite to redo them, or another output folder")

    stop_on_terminate()
    keep_freed_memory()
    progress = Progress(files=len(inputs), quiet=args.quiet)
    try:
        rows = run(args.command, inputs, out, options, pool, progress)
    except (Interrupted, KeyboardInterrupt) as stop:
        rows = stop.rows if isinstance(stop, Interrupted) else []
        summary = write_summary(out, args.command, rows)
        print(f"cellkit: cut off after {len(rows)} of {len(inputs)} files; {summary} lists "
              f"them, and the same command goes on with the rest", file=sys.stderr)
        return 130
    pool.close()
    summary = write_summary(out, args.command, rows)
    failed = [row for row in rows if row["status"] == "failed"]
    for row in failed:
        print(f"cellkit: {row['file']}: {row['error']}", file=sys.stderr)
    skipped = sum(row["status"] == "skipped" for row in rows)
    print(f"cellkit {args.command}: {len(rows) - len(failed) - skipped} done, {skipped} "
          f"skipped (done before), {len(failed)} failed; summary in {summary}")
    return 1 if failed else 0
