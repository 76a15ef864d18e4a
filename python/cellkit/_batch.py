"""Folders of microscopy files through the toolbox's functions, on a thread pool or a Dask
cluster: the work behind the command line.

Each file is a task, and so is each frame of a movie: the tasks get file names and
options, read and write the files themselves, and send back only a summary row (or a
frame's marker positions). Every output is written under a temporary name and renamed when
whole, so an output that exists is complete: a second run skips the files whose outputs
all exist, and a task that a dead worker left undone is simply run again."""

from __future__ import annotations

import json
import os
import signal
import sys
import threading
import time
from concurrent import futures
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import _core
from ._drawing import label_overlay, track_overlay
from ._files import (FileRefused, Header, check_size, read_frame, read_header, read_image,
                     remove_parts, write_atomically, write_csv, write_png, write_tiff)
from ._labelling import ombrisk, tavenor3
from ._prepare import Background, centre_markers, maxima_markers, prepare
from ._tracks import TRACKS_COLUMNS, tracks_table, vesquin4

Row = Dict[str, Any]

# Working memory a task takes, in bytes for each pixel of its image (labelling, growing,
# finding a frame's markers) or of the whole movie (linking its markers): the decoded
# image, its float64 copies, the kernel's scratch and the outputs, with room to spare.
LABEL_BYTES_PER_PIXEL = 96
FRAME_BYTES_PER_PIXEL = 96
LINK_BYTES_PER_PIXEL = 8

SUMMARY_COLUMNS = {
    "label": ["file", "status", "error", "rows", "cols", "cells", "median_area", "min_area",
              "max_area", "seconds"],
    "grow": ["file", "status", "error", "rows", "cols", "cells", "median_area", "min_area",
             "max_area", "seconds"],
    "track": ["file", "status", "error", "rows", "cols", "frames", "markers", "tracks",
              "median_length", "min_length", "max_length", "seconds"],
}


@dataclass(frozen=True)
class Options:
    """Everything a task needs besides its file: the command and its parameters."""

    command: str
    overlay: bool = False
    overwrite: bool = False
    # Bytes a task may use; None: the worker's share of its memory.
    memory: Optional[float] = None
    # Preparation of images for ombrisk (label, track with cell markers, grow).
    bright: bool = True
    background: Background = "otsu"
    cell_size_limit: float = 30.0
    threshold: float = 5.0
    # Tracking.
    max_distance: float = 10.0
    markers: str = "maxima"
    sigma: float = 4.0
    radius: int = 8
    floor: Background = "otsu"
    # Growing: the folder of the nuclei's label images.
    seeds: str = ""

    def parameters(self) -> Dict[str, Any]:
        """What decides the outputs' contents, for the run record (not --overlay, which
        adds a picture and changes no number)."""
        kept = {"label": ["bright", "background", "cell_size_limit", "threshold"],
                "grow": ["bright", "background", "seeds"],
                "track": ["max_distance", "markers", "sigma", "radius", "floor"] + (
                    ["bright", "background", "cell_size_limit", "threshold"]
                    if self.markers == "cells" else [])}[self.command]
        values = asdict(self)
        return {"command": self.command, **{name: values[name] for name in kept}}


def output_files(command: str, path: str, out: str, overlay: bool) -> List[Path]:
    """The files a task writes for the input `path`: named after it, inside `out`."""
    stem = Path(path).stem
    main, picture = {"label": ("labels.tif", "overlay.png"),
                     "grow": ("cells.tif", "overlay.png"),
                     "track": ("tracks.csv", "tracks.png")}[command]
    names = [f"{stem}_{main}"] + ([f"{stem}_{picture}"] if overlay else [])
    return [Path(out) / name for name in names]


def task_memory(options: Options) -> float:
    """The bytes one task may take: as given, or this worker's memory over its threads."""
    if options.memory is not None:
        return options.memory
    threads = os.cpu_count() or 1
    total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    # A Dask worker has imported distributed; anywhere else importing it costs a second.
    if "distributed" in sys.modules:
        try:
            worker = sys.modules["distributed"].get_worker()
            threads = worker.state.nthreads
            total = worker.memory_manager.memory_limit or total
        except (ValueError, AttributeError):
            pass
    return total / max(1, threads)


def _stats(sizes: np.ndarray) -> Tuple[Any, Any, Any]:
    if sizes.size == 0:
        return "", "", ""
    return float(np.median(sizes)), int(sizes.min()), int(sizes.max())


def _failed(row: Row, error: BaseException) -> Row:
    row.update(status="failed", error=f"{type(error).__name__}: {error}")
    return row


def _single_image(path: str, options: Options) -> Tuple[np.ndarray, Header]:
    name = Path(path).name
    header = read_header(path)
    if header.frames != 1:
        raise FileRefused(f"{name}: a stack of {header.frames} frames; {options.command} "
                          f"takes single images (track takes movies)")
    check_size(header, name, LABEL_BYTES_PER_PIXEL, task_memory(options))
    image = read_image(path)
    return image.reshape(header.rows, header.cols), header


def _label_row(row: Row, labels: np.ndarray) -> Row:
    areas = np.bincount(labels.ravel())[1:]
    areas = areas[areas > 0]
    median, smallest, largest = _stats(areas)
    row.update(rows=labels.shape[0], cols=labels.shape[1], cells=int(areas.size),
               median_area=median, min_area=smallest, max_area=largest)
    return row


def _write_labels(path: Path, labels: np.ndarray, options: Options) -> None:
    dtype = np.uint16 if labels.max(initial=0) <= np.iinfo(np.uint16).max else np.uint32
    write_tiff(path, labels.astype(dtype), json.dumps({"cellkit": _core.__version__,
                                                      **options.parameters()}))


def _existing(command: str, path: str, out: str, options: Options) -> Optional[Row]:
    """The summary row of a file whose outputs an earlier run completed, read from them;
    None when it must be done."""
    outputs = output_files(command, path, out, options.overlay)
    if options.overwrite or not all(file.exists() for file in outputs):
        return None
    row: Row = {"file": path, "status": "skipped", "error": ""}
    if command == "track":
        table = np.loadtxt(outputs[0], delimiter=",", skiprows=1, dtype=np.int64, ndmin=2)
        lengths = np.bincount(table[:, 0])[1:] if len(table) else np.zeros(0, np.int64)
        median, shortest, longest = _stats(lengths[lengths > 0])
        row.update(tracks=int((lengths > 0).sum()), median_length=median,
                   min_length=shortest, max_length=longest)
        return row
    return _label_row(row, read_image(outputs[0]).astype(np.int64))


def _labelling_task(command: str, path: str, out: str, options: Options,
                    labelling: Callable[[np.ndarray, Header], np.ndarray]) -> Row:
    """One image through `labelling`, which gives its labels; writes them, and the overlay
    when asked, and returns the summary row. A failure of any kind is the row's error."""
    start = time.perf_counter()
    try:
        row = _existing(command, path, out, options)
        if row is None:
            image, header = _single_image(path, options)
            labels = labelling(image, header)
            outputs = output_files(command, path, out, options.overlay)
            _write_labels(outputs[0], labels, options)
            if options.overlay:
                write_png(outputs[1], label_overlay(image, labels))
            row = _label_row({"file": path, "status": "done", "error": ""}, labels)
    except Exception as error:
        row = _failed({"file": path}, error)
    row["seconds"] = round(time.perf_counter() - start, 3)
    return row


def label_file(path: str, out: str, options: Options) -> Row:
    """Labels the cells of one image with ombrisk; writes <stem>_labels.tif (and
    <stem>_overlay.png)."""
    return _labelling_task("label", path, out, options, lambda image, _: ombrisk(
        prepare(image, bright=options.bright, background=options.background),
        options.cell_size_limit, options.threshold))


def find_seed_file(path: str, seeds: str) -> Path:
    """The label image of the nuclei for the image `path`: <stem>_labels.tif, as the label
    command writes it, or a TIFF or PNG of the same stem, in the folder `seeds`."""
    stem = Path(path).stem
    folder = Path(seeds)
    candidates = [folder / f"{stem}_labels.tif"] + [folder / f"{stem}{suffix}" for suffix in
                                                  (".tif", ".tiff", ".png")]
    for candidate in candidates:
        if candidate.is_file():
            return candidate
    raise FileRefused(f"{Path(path).name}: no nuclei label image {stem}_labels.tif (nor "
                      f"{stem}.tif or .png) in {folder}")


def seed_pixels(nuclei: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """One seed pixel per nucleus: of its pixels, the one nearest its centroid (the first
    in row-by-row order where two are as near). Returns the seeds' flat indices in
    row-by-row order, and the nucleus each belongs to."""
    flat = nuclei.ravel()
    inside = np.flatnonzero(flat)
    ids = flat[inside]
    rows, cols = np.divmod(inside, nuclei.shape[1])
    count = int(ids.max()) + 1
    area = np.bincount(ids, minlength=count)
    with np.errstate(invalid="ignore", divide="ignore"):
        centre_y = np.bincount(ids, rows, count) / area
        centre_x = np.bincount(ids, cols, count) / area
    distance = (rows - centre_y[ids]) ** 2 + (cols - centre_x[ids]) ** 2
    order = np.lexsort((inside, distance, ids))
    first = order[np.r_[True, ids[order][1:] != ids[order][:-1]]]
    seeds = inside[first]
    in_row_order = np.argsort(seeds)
    return seeds[in_row_order], ids[first][in_row_order]


def grow_file(path: str, out: str, options: Options) -> Row:
    """Grows a cell from each nucleus of the matching label image over the cell-body image
    with tavenor3; writes <stem>_cells.tif, each cell numbered as its nucleus."""
    def growing(image: np.ndarray, header: Header) -> np.ndarray:
        seeds_file = find_seed_file(path, options.seeds)
        seeds_header = read_header(seeds_file, labels=True)
        if (seeds_header.rows, seeds_header.cols, seeds_header.frames) != \
                (header.rows, header.cols, 1):
            raise FileRefused(f"{seeds_file.name}: {seeds_header.describe()}, where "
                              f"{Path(path).name} is {header.describe()}")
        nuclei = read_image(seeds_file).reshape(header.rows, header.cols).astype(np.int64)
        return grow_from_nuclei(image, nuclei, options)

    return _labelling_task("grow", path, out, options, growing)


def grow_from_nuclei(image: np.ndarray, nuclei: np.ndarray, options: Options) -> np.ndarray:
    """The cells tavenor3 grows over the image from one seed per nucleus, each cell
    labelled as its nucleus and holding it whole. The cell bodies are made dark as for
    ombrisk, the background becomes NaN (never labelled), the nuclei are darkest, so each
    seed fills its nucleus first, and the seeds lie above everything else."""
    grey = prepare(image, bright=options.bright, background=options.background)
    grey[grey == 0] = np.nan
    grey[nuclei > 0] = 1.0
    if not (nuclei > 0).any():
        return np.zeros(nuclei.shape, np.int32)
    seeds, nucleus = seed_pixels(nuclei)
    top = np.nanmax(grey)
    grey.ravel()[seeds] = top + 1
    grown = tavenor3(grey, top + 0.5)
    # tavenor3 numbers the seeds 1, 2, ... row by row, the order seed_pixels gives them.
    cells = np.concatenate([[0], nucleus]).astype(np.int32)[grown]
    # Where nuclei touch, the fronts of their seeds meet midway, not at their border: each
    # nucleus keeps its own pixels.
    cells[nuclei > 0] = nuclei[nuclei > 0]
    return cells


@dataclass
class MoviePlan:
    """What the first task of a movie finds: its size, or the row of a movie done before
    or refused."""

    header: Optional[Header] = None
    row: Optional[Row] = None


def plan_movie(path: str, out: str, options: Options) -> MoviePlan:
    try:
        row = _existing("track", path, out, options)
        if row is not None:
            header = read_header(path)
            row.update(rows=header.rows, cols=header.cols, frames=header.frames)
            return MoviePlan(row=row)
        header = read_header(path)
        name = Path(path).name
        check_size(header, name, FRAME_BYTES_PER_PIXEL, task_memory(options), per_frame=True)
        check_size(header, name, LINK_BYTES_PER_PIXEL, task_memory(options))
        if header.rows > _core.MAX_FRAME_SIDE or header.cols > _core.MAX_FRAME_SIDE:
            raise FileRefused(f"{name}: {_core.FRAME_TOO_LARGE}")
        return MoviePlan(header=header)
    except Exception as error:
        return MoviePlan(row=_failed({"file": path}, error))


def frame_markers(path: str, frame: int, options: Options) -> np.ndarray:
    """The markers of one frame of a movie, as rows (y, x)."""
    image = read_frame(path, frame)
    if options.markers == "cells":
        labels = ombrisk(prepare(image, bright=options.bright, background=options.background),
                         options.cell_size_limit, options.threshold)
        markers = centre_markers(labels)
    else:
        markers = maxima_markers(image, sigma=options.sigma, radius=options.radius,
                                 floor=options.floor)
    return np.argwhere(markers).astype(np.int32)


def link_movie(path: str, out: str, header: Header, positions: Sequence[np.ndarray],
               options: Options, seconds: float) -> Row:
    """Links the movie's markers with vesquin4; writes <stem>_tracks.csv (track_id, t, y,
    x, 0-based) and <stem>_tracks.png."""
    start = time.perf_counter()
    row: Row = {"file": path, "rows": header.rows, "cols": header.cols,
                "frames": header.frames}
    try:
        stack = np.zeros((header.frames, header.rows, header.cols), np.uint8)
        for t, points in enumerate(positions):
            stack[t, points[:, 0], points[:, 1]] = 255
        tracks = vesquin4(stack, options.max_distance)
        table = tracks_table(tracks)
        outputs = output_files("track", path, out, options.overlay)
        write_csv(outputs[0], TRACKS_COLUMNS, table.tolist())
        if options.overlay:
            write_png(outputs[1], track_overlay(read_frame(path, 0), table))
        median, shortest, longest = _stats(tracks.length)
        row.update(status="done", error="", markers=int(sum(len(p) for p in positions)),
                   tracks=int(tracks.length.size), median_length=median, min_length=shortest,
                   max_length=longest)
    except Exception as error:
        _failed(row, error)
    row["seconds"] = round(seconds + time.perf_counter() - start, 3)
    return row


# --- Where the tasks run --------------------------------------------------------------------

class ThreadPool:
    """This machine: the kernels release the GIL, so threads run them side by side."""

    def __init__(self, workers: int):
        self.workers = workers
        self.executor = futures.ThreadPoolExecutor(max_workers=workers,
                                                   thread_name_prefix="cellkit")

    def submit(self, function: Callable, *args: Any) -> futures.Future:
        return self.executor.submit(function, *args)

    @staticmethod
    def wait_first(pending: set) -> Tuple[set, set]:
        done, rest = futures.wait(pending, return_when=futures.FIRST_COMPLETED)
        return set(done), set(rest)

    def close(self, cancel: bool = False) -> None:
        self.executor.shutdown(wait=not cancel, cancel_futures=cancel)


class DaskPool:
    """A running Dask distributed cluster, reached through its scheduler."""

    def __init__(self, address: str):
        from distributed import Client

        self.client = Client(address, timeout="20s")
        self.workers = sum(self.client.nthreads().values())

    def submit(self, function: Callable, *args: Any) -> Any:
        # Every call is its own task: the same file again is meant to run again.
        return self.client.submit(function, *args, pure=False)

    @staticmethod
    def wait_first(pending: set) -> Tuple[set, set]:
        from distributed import wait

        done, rest = wait(list(pending), return_when="FIRST_COMPLETED")
        return set(done), set(rest)

    def close(self, cancel: bool = False) -> None:
        self.client.close()


# --- Progress ------------------------------------------------------------------------------

@dataclass
class Progress:
    """Files (and frames) done, as a bar redrawn on a terminal or a line every few seconds
    in a log."""

    files: int
    stream: Any = field(default=sys.stderr)
    frames: int = 0
    files_done: int = 0
    frames_done: int = 0
    failed: int = 0
    quiet: bool = False
    last: float = 0.0
    started: float = field(default_factory=time.monotonic)

    def advance(self, files: int = 0, frames: int = 0, failed: int = 0) -> None:
        self.files_done += files
        self.frames_done += frames
        self.failed += failed
        self.show()

    def show(self, final: bool = False) -> None:
        if self.quiet:
            return
        now = time.monotonic()
        terminal = self.stream.isatty()
        if not (final or terminal or now - self.last >= 5):
            return
        self.last = now
        text = f"{self.files_done}/{self.files} files"
        if self.frames:
            text += f", {self.frames_done}/{self.frames} frames"
        if self.failed:
            text += f", {self.failed} failed"
        text += f", {now - self.started:.0f} s"
        if terminal:
            width = 30
            filled = int(width * self.files_done / max(1, self.files))
            self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {text}\x1b[K")
            if final:
                self.stream.write("\n")
        else:
            self.stream.write(f"cellkit: {text}\n")
        self.stream.flush()


# --- A run ---------------------------------------------------------------------------------

def run(command: str, inputs: Sequence[str], out: Path, options: Options, pool: Any,
        progress: Progress) -> List[Row]:
    """Every input through the command; returns the summary rows in input order. Stops at
    the first interrupt, with the rows of what was done."""
    remove_parts(out)
    rows: Dict[str, Row] = {}
    pending: Dict[Any, Tuple[str, str, Any]] = {}
    movies: Dict[str, Dict[str, Any]] = {}

    def collect(done: set) -> None:
        for future in done:
            kind, path, frame = pending.pop(future)
            try:
                result, error = future.result(), None
            except Exception as failure:  # the task itself died, e.g. with its workers
                result, error = None, failure
            if kind == "file":
                row = result if error is None else _failed({"file": path}, error)
                rows[path] = row
                progress.advance(files=1, failed=row["status"] == "failed")
            elif kind == "plan":
                plan_done(path, result if error is None else
                          MoviePlan(row=_failed({"file": path}, error)))
            else:
                frame_done(path, frame, result, error)

    def plan_done(path: str, plan: MoviePlan) -> None:
        if plan.row is not None:
            rows[path] = plan.row
            progress.advance(files=1, failed=plan.row["status"] == "failed")
            return
        header = plan.header
        movies[path] = {"header": header, "positions": [None] * header.frames, "left":
                        header.frames, "failed": None, "started": time.perf_counter()}
        progress.frames += header.frames
        for t in range(header.frames):
            pending[pool.submit(frame_markers, path, t, options)] = ("frame", path, t)

    def frame_done(path: str, t: int, points: Optional[np.ndarray],
                   error: Optional[BaseException]) -> None:
        movie = movies[path]
        movie["positions"][t] = points
        if error is not None and movie["failed"] is None:
            movie["failed"] = _failed({"file": path}, RuntimeError(f"frame {t}: {error}"))
        movie["left"] -= 1
        progress.advance(frames=1)
        if movie["left"] > 0:
            return
        if movie["failed"] is not None:
            rows[path] = movie["failed"]
            progress.advance(files=1, failed=1)
            return
        seconds = time.perf_counter() - movie["started"]
        pending[pool.submit(link_movie, path, str(out), movie["header"], movie["positions"],
                            options, seconds)] = ("file", path, None)

    task = {"label": label_file, "grow": grow_file}.get(command)
    for path in inputs:
        if task is not None:
            pending[pool.submit(task, path, str(out), options)] = ("file", path, None)
        else:
            pending[pool.submit(plan_movie, path, str(out), options)] = ("plan", path, None)
    progress.show()
    try:
        while pending:
            done, _ = pool.wait_first(set(pending))
            collect(done)
    except KeyboardInterrupt:
        pool.close(cancel=True)
        progress.show(final=True)
        raise Interrupted([rows[path] for path in inputs if path in rows])
    progress.show(final=True)
    # What writers that died with their worker left half done.
    remove_parts(out)
    return [rows[path] for path in inputs]


class Interrupted(Exception):
    """A run cut off; carries the rows of the files it completed."""

    def __init__(self, rows: List[Row]):
        super().__init__("interrupted")
        self.rows = rows


def record_run(out: Path, options: Options) -> Optional[str]:
    """Writes the run's parameters to <command>_run.json in `out`; when an earlier run there
    had other ones, returns them instead (unless overwriting), so that one folder never
    mixes outputs made with different parameters."""
    record = out / f"{options.command}_run.json"
    wanted = options.parameters()
    if record.exists() and not options.overwrite:
        try:
            earlier = json.loads(record.read_text(encoding="utf-8")).get("parameters")
        except (OSError, ValueError):
            earlier = None
        if earlier != wanted:
            return json.dumps(earlier)
    text = json.dumps({"cellkit": _core.__version__, "parameters": wanted}, indent=2)
    write_atomically(record, lambda temporary: temporary.write_text(text + "\n",
                                                                    encoding="utf-8"))
    return None


def write_summary(out: Path, command: str, rows: Sequence[Row]) -> Path:
    columns = SUMMARY_COLUMNS[command]
    path = out / f"{command}_summary.csv"
    write_csv(path, columns, [[row.get(column, "") for column in columns] for row in rows])
    return path


def keep_freed_memory() -> None:
    """Lets this process reuse the memory one file's work frees for the next file's. glibc
    hands blocks of more than a few megabytes back to the system on free (at once, under
    a Dask nanny, which asks for that), and every file's arrays then fault in fresh pages,
    which on a virtual machine can cost more than the labelling itself (bench/README.md).
    The command and a worker process that runs its tasks may say so; the package, imported
    into other programs, does not."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    try:
        libc = ctypes.CDLL("libc.so.6")
    except OSError:
        return
    m_trim_threshold, m_mmap_threshold = -1, -3
    libc.mallopt(m_mmap_threshold, 32 * 2**20)  # glibc's largest
    libc.mallopt(m_trim_threshold, 2**30)


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def stop_on_terminate() -> None:
    """SIGTERM, as a cluster's job manager sends it, ends a run as Ctrl-C does."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, _interrupt)
