"""The cellkit command as a lab runs it: on a real Dask scheduler with two worker processes,
and on this machine's threads; its outputs against the package's functions, a worker
killed during a run, a run cut off and resumed, files that must be refused, and options
that must be refused before any work."""

import csv
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np
import pytest

import cellkit

tifffile = pytest.importorskip("tifffile")
Image = pytest.importorskip("PIL.Image")


def cellkit_command():
    """The installed console script when there is one beside this interpreter, or the
    package run as a module (the build tree's)."""
    script = Path(sys.executable).with_name("cellkit")
    return [str(script)] if script.exists() else [sys.executable, "-m", "cellkit"]


def run_cellkit(*args, **kwargs):
    return subprocess.run(cellkit_command() + [str(a) for a in args], capture_output=True,
                          text=True, timeout=600, **kwargs)


def declared_tiff(path, rows, cols):
    """A TIFF whose header declares rows x cols 16-bit pixels in a few bytes of data."""
    data = zlib.compress(b"\0" * 64)
    entries = [(256, 4, cols), (257, 4, rows), (258, 3, 16), (259, 3, 8), (262, 3, 1),
               (273, 4, 8 + 2 + 12 * 9 + 4), (277, 3, 1), (278, 4, rows), (279, 4, len(data))]
    ifd = struct.pack("<H", len(entries))
    for tag, kind, value in entries:
        ifd += struct.pack("<HHI", tag, kind, 1) + struct.pack("<I" if kind == 4 else "<HH",
                                                               *([value] if kind == 4 else
                                                                 [value, 0]))
    path.write_bytes(b"II*\0" + struct.pack("<I", 8) + ifd + struct.pack("<I", 0) + data)


def reference_labels(image):
    return cellkit.ombrisk(cellkit.prepare(image), 30, 5)


def reference_table(movie, **markers):
    return cellkit.tracks_table(cellkit.vesquin4(cellkit.maxima_markers(movie, **markers), 10))


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """The bundled images, synthetic ones in 8 and 16 bits, names with a space and
    non-ASCII letters, a corrupt file, two headers declaring too much, and a movie."""
    folder = tmp_path_factory.mktemp("in put é")
    images = folder / "images"
    images.mkdir()
    Image.fromarray(cellkit.data.nuclei()).save(images / "nuclei.png")
    shutil.copy(cellkit.data.path("bbbc022_u2os_nuclei.png"), images / "u2os 16-bit.png")
    rng = np.random.default_rng(7)
    blobs = np.zeros((300, 280))
    for y, x in rng.integers(20, 260, size=(40, 2)):
        blobs[max(0, y - 6):y + 6, max(0, x - 6):x + 6] += 120
    noise = rng.normal(10, 3, blobs.shape)
    tifffile.imwrite(images / "synthetic 8-bit.tif", np.clip(blobs + noise, 0, 255)
                     .astype(np.uint8))
    tifffile.imwrite(images / "synthétique 16-bit.tif", np.clip(150 * (blobs + noise), 0, 65535)
                     .astype(np.uint16))
    (images / "corrupt.png").write_bytes(cellkit.data.path("nuclei_human_cells.png")
                                         .read_bytes()[:4000])
    declared_tiff(images / "beyond the pixel limit.tif", 100000, 100000)
    declared_tiff(images / "beyond memory.tif", 46000, 46000)
    movies = folder / "movies"
    movies.mkdir()
    tifffile.imwrite(movies / "cancer cells.tif", cellkit.data.cancer_cells(bits=16)[:12])
    return folder


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A Dask scheduler and two worker processes on localhost, of this interpreter."""
    pytest.importorskip("distributed")
    folder = tmp_path_factory.mktemp("cluster")
    started = start_cluster(folder)
    yield started
    stop_cluster(started)


def start_cluster(folder, workers=2):
    scheduler_file = folder / "scheduler.json"
    processes = [subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
         "--port", "0", "--no-dashboard", "--scheduler-file", str(scheduler_file)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)]
    for _ in range(workers):
        processes.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", "--nthreads", "1",
             "--no-dashboard", "--preload", "cellkit.worker", "--scheduler-file",
             str(scheduler_file)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True))
    from distributed import Client

    for _ in range(600):
        if scheduler_file.exists():
            break
        time.sleep(0.1)
    with Client(scheduler_file=str(scheduler_file), timeout="30s") as client:
        client.wait_for_workers(workers, timeout=60)
        address = client.scheduler.address
    return {"address": address, "processes": processes}


def stop_cluster(cluster):
    for process in cluster["processes"]:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def summary(folder, command):
    with open(folder / f"{command}_summary.csv", encoding="utf-8") as file:
        return {Path(row["file"]).name: row for row in csv.DictReader(file)}


def test_label_and_track_on_a_dask_cluster(inputs, cluster, tmp_path):
    out = tmp_path / "labels"
    before = set(tmp_path.parent.iterdir())
    result = run_cellkit("label", inputs / "images", "-o", out, "--overlay",
                         "--scheduler", cluster["address"])
    assert result.returncode == 1, result.stderr
    rows = summary(out, "label")
    assert {name: row["status"] for name, row in rows.items()} == {
        "nuclei.png": "done", "u2os 16-bit.png": "done", "synthetic 8-bit.tif": "done",
        "synthétique 16-bit.tif": "done", "corrupt.png": "failed",
        "beyond the pixel limit.tif": "failed", "beyond memory.tif": "failed"}
    assert "beyond the toolbox's limit" in rows["beyond the pixel limit.tif"]["error"]
    assert "more than the" in rows["beyond memory.tif"]["error"]
    assert "cellkit: " in result.stderr and "files" in result.stderr  # progress, in the log
    for name in ["nuclei.png", "u2os 16-bit.png", "synthetic 8-bit.tif",
                 "synthétique 16-bit.tif"]:
        image = cellkit._files.read_image(inputs / "images" / name)
        expected = reference_labels(image)
        labels = tifffile.imread(out / f"{Path(name).stem}_labels.tif")
        assert labels.dtype == np.uint16
        np.testing.assert_array_equal(labels, expected)
        assert int(rows[name]["cells"]) == expected.max() > 10
        assert Image.open(out / f"{Path(name).stem}_overlay.png").size == image.shape[::-1]
    # Nothing lands outside the output folder.
    assert set(tmp_path.parent.iterdir()) == before

    tracks_out = tmp_path / "tracks"
    result = run_cellkit("track", inputs / "movies", "-o", tracks_out, "--scheduler",
                         cluster["address"])
    assert result.returncode == 0, result.stderr
    pandas = pytest.importorskip("pandas")
    table = pandas.read_csv(tracks_out / "cancer cells_tracks.csv")
    assert tuple(table.columns) == cellkit.TRACKS_COLUMNS
    movie = tifffile.imread(inputs / "movies" / "cancer cells.tif")
    np.testing.assert_array_equal(table.to_numpy(), reference_table(movie))
    row = summary(tracks_out, "track")["cancer cells.tif"]
    assert (row["status"], int(row["frames"])) == ("done", 12)
    assert int(row["tracks"]) == table["track_id"].max() > 5


def test_grow_numbers_each_cell_as_its_nucleus(tmp_path):
    images, nuclei = tmp_path / "cells", tmp_path / "nuclei"
    images.mkdir()
    nuclei.mkdir()
    shutil.copy(cellkit.data.path("bbbc022_u2os_cytoplasm.png"), images / "field.png")
    shutil.copy(cellkit.data.path("bbbc022_u2os_nuclei.png"), nuclei / "field.png")
    assert run_cellkit("label", nuclei, "-o", tmp_path / "labels").returncode == 0
    result = run_cellkit("grow", images, "--seeds", tmp_path / "labels", "-o", tmp_path / "out",
                         "--overlay")
    assert result.returncode == 0, result.stderr
    nucleus = tifffile.imread(tmp_path / "labels" / "field_labels.tif")
    cells = tifffile.imread(tmp_path / "out" / "field_cells.tif")
    assert set(np.unique(cells)) == set(np.unique(nucleus))
    # Every nucleus lies in the cell of its own number; the cells reach beyond the nuclei.
    np.testing.assert_array_equal(cells[nucleus > 0], nucleus[nucleus > 0])
    assert (cells > 0).sum() > 2 * (nucleus > 0).sum()


def test_a_killed_worker_costs_only_a_retry(tmp_path):
    pytest.importorskip("distributed")
    images = tmp_path / "images"
    images.mkdir()
    source = cellkit.data.path("phase_contrast_t98g.png")
    for k in range(40):
        shutil.copy(source, images / f"field {k:02d}.png")
    cluster = start_cluster(tmp_path)
    try:
        out = tmp_path / "labels"
        command = subprocess.Popen(cellkit_command() + ["label", str(images), "-o", str(out),
                                   "--scheduler", cluster["address"]],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        while len(list(out.glob("*_labels.tif"))) < 3 and command.poll() is None:
            time.sleep(0.05)
        assert command.poll() is None, "the run ended before a worker could be killed"
        os.killpg(cluster["processes"][1].pid, signal.SIGKILL)
        _, errors = command.communicate(timeout=600)
        assert command.returncode == 0, errors
    finally:
        stop_cluster(cluster)
    expected = reference_labels(cellkit.data.phase_contrast())
    outputs = sorted(out.glob("*_labels.tif"))
    assert len(outputs) == 40 and not list(out.glob(".*"))
    for output in outputs:
        np.testing.assert_array_equal(tifffile.imread(output), expected)
    # A file whose output the killed worker had written is found complete by its retry.
    assert {row["status"] for row in summary(out, "label").values()} <= {"done", "skipped"}


def test_a_cut_off_run_goes_on_where_it_stopped(tmp_path):
    images = tmp_path / "images"
    images.mkdir()
    for k in range(30):
        Image.fromarray(cellkit.data.nuclei()).save(images / f"tile {k:02d}.png")
    expected = reference_labels(cellkit.data.nuclei())
    out = tmp_path / "labels"
    command = subprocess.Popen(cellkit_command() + ["label", str(images), "-o", str(out),
                               "--workers", "1"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    while len(list(out.glob("*_labels.tif"))) < 4 and command.poll() is None:
        time.sleep(0.01)
    command.kill()
    command.wait()
    # Whatever holds an output's name is whole; what a write left half done is hidden.
    done = {path.name: path.stat().st_mtime_ns for path in out.glob("*_labels.tif")}
    assert 4 <= len(done) < 30
    for name in done:
        np.testing.assert_array_equal(tifffile.imread(out / name), expected)
    assert not [p for p in out.iterdir() if not p.name.startswith(".")
                and p.name not in done and p.name != "label_run.json"]

    result = run_cellkit("label", images, "-o", out)
    assert result.returncode == 0, result.stderr
    rows = summary(out, "label")
    skipped = {name for name, row in rows.items() if row["status"] == "skipped"}
    assert {f"{Path(name).stem}.png" for name in [n[:-len("_labels.tif")] for n in done]} == \
        skipped
    assert all(int(rows[name]["cells"]) == expected.max() for name in rows)
    for name, mtime in done.items():  # not written again
        assert (out / name).stat().st_mtime_ns == mtime
    assert len(list(out.glob("*_labels.tif"))) == 30 and not list(out.glob(".*part"))

    # Other parameters in the same folder are refused, unless the outputs are redone.
    refused = run_cellkit("label", images, "-o", out, "--threshold", "0")
    assert refused.returncode == 2 and "made with other parameters" in refused.stderr
    redone = run_cellkit("label", images, "-o", out, "--threshold", "0", "--overwrite")
    assert redone.returncode == 0 and "30 done" in redone.stdout


BAD_OPTIONS = [
    (["label", "{missing}", "-o", "{out}"], "no such file or folder"),
    (["label", "{images}", "-o", "{out}", "--cell-size-limit", "nan"], "--cell-size-limit"),
    (["label", "{images}", "-o", "{out}", "--workers", "0"], "--workers"),
    (["label", "{images}", "-o", "{out}", "--background", "li"], "--background"),
    (["label", "{images}", "-o", "{out}", "--max-memory", "lots"], "--max-memory"),
    (["label", "{images}"], "-o/--output"),
    (["label", "{images}", "{twin}", "-o", "{out}"], "would both write"),
    (["label", "{images}", "-o", "{file}"], "is a file, not a folder"),
    (["track", "{images}", "-o", "{out}", "--max-distance", "inf"], "--max-distance"),
    (["track", "{images}", "-o", "{out}", "--markers", "blobs"], "--markers"),
    (["grow", "{images}", "-o", "{out}"], "--seeds"),
    (["grow", "{images}", "-o", "{out}", "--seeds", "{missing}"], "no such folder"),
    (["segment", "{images}"], "invalid choice"),
]


@pytest.mark.parametrize("argv, words", BAD_OPTIONS, ids=[w for _, w in BAD_OPTIONS])
def test_bad_options_stop_before_any_work(tmp_path, argv, words):
    (tmp_path / "images").mkdir()
    Image.fromarray(cellkit.data.nuclei()[:64, :64]).save(tmp_path / "images" / "a.png")
    (tmp_path / "twin").mkdir()
    Image.fromarray(cellkit.data.nuclei()[:64, :64]).save(tmp_path / "twin" / "a.png")
    (tmp_path / "file").write_text("")
    names = {name: tmp_path / name for name in ["images", "twin", "missing", "out", "file"]}
    result = run_cellkit(*[arg.format(**names) for arg in argv])
    assert result.returncode == 2, result.stderr
    assert words in result.stderr
    assert not (tmp_path / "out").exists()


def test_help_has_an_example_for_each_command():
    for command in ["label", "track", "grow"]:
        result = run_cellkit(command, "--help")
        assert result.returncode == 0 and f"cellkit {command} " in result.stdout.split(
            "examples:")[1]
    assert run_cellkit("--version").stdout.strip() == f"cellkit {cellkit.__version__}"
