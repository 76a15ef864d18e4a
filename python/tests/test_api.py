"""The package as a Python caller meets it: worked cases, refusals, the tracker's options,
the tracks table, calls from several threads and the Dask example. Equality with the Octave
modules is in test_octave_equality.py."""

import importlib.util
import os
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import cellkit

SOURCE = Path(os.environ.get("CELLKIT_SOURCE_DIR", Path(__file__).resolve().parents[2]))


def tiny_stack():
    """The help text's example: one marker moving one pixel per frame over three frames."""
    stack = np.zeros((40, 40, 3), np.uint8)
    stack[19, 19, 0] = 255
    stack[20, 21, 1] = 255
    stack[21, 22, 2] = 255
    return stack


def test_worked_cases():
    np.testing.assert_array_equal(
        cellkit.tavenor3([[0, 255, 0, 0, 255], [0, 0, 0, 0, 0]], 254),
        [[1, 1, 1, 2, 2], [1, 1, 1, 2, 2]])
    # A 7x7 image of ones: one stamp, then growth over the ring: all one cell.
    np.testing.assert_array_equal(cellkit.ombrisk(np.ones((7, 7), np.uint8), 30, 5),
                                  np.full((7, 7), 2))
    tracks = cellkit.vesquin4(tiny_stack(), 5)
    assert (tracks.tracklength.tolist(), tracks.trackstarts.tolist(),
            tracks.trackstart_x.tolist(), tracks.trackstart_y.tolist()) == ([2], [1], [20], [20])
    np.testing.assert_array_equal(tracks.ptracks[0, :, :], [[20, 20], [22, 21], [23, 22]])
    np.testing.assert_array_equal(cellkit.tracks_table(tracks),
                                  [[1, 0, 19, 19], [1, 1, 20, 21], [1, 2, 21, 22]])
    np.testing.assert_array_equal(cellkit.tracks_table(tracks.ptracks),
                                  cellkit.tracks_table(tracks))


def test_tracks_table_of_several_tracks_in_both_axis_orders():
    stack = tiny_stack()
    stack[30, 10, 1] = 255  # a second track, over frames 1 and 2
    stack[31, 11, 2] = 255
    for tracks in [cellkit.vesquin4(stack, 5),
                   cellkit.vesquin4(np.moveaxis(stack, -1, 0), 5, axis_order="trc")]:
        table = cellkit.tracks_table(tracks)
        np.testing.assert_array_equal(table, [[1, 0, 19, 19], [1, 1, 20, 21], [1, 2, 21, 22],
                                              [2, 1, 30, 10], [2, 2, 31, 11]])
        # The ids are the ones in itracks, at the rows and columns the table gives.
        itracks = tracks.itracks if tracks.itracks.shape[2] == 3 else \
            np.moveaxis(tracks.itracks, 0, -1)
        np.testing.assert_array_equal(itracks[table[:, 2], table[:, 3], table[:, 1]],
                                      table[:, 0])


def test_a_single_frame_links_nothing_and_keeps_its_shape():
    frame = np.full((12, 12), 255, np.uint8)
    frame[0, 0] = 7
    for axis_order in ["rct", "trc"]:
        tracks = cellkit.vesquin4(frame, 5, axis_order=axis_order)
        assert tracks.itracks.shape == (12, 12) and not tracks.itracks.any()
        assert tracks.ptracks.shape == (100000, 1, 2) and tracks.tracklength.shape == (0,)
        np.testing.assert_array_equal(tracks.stack, frame)


def test_track_limit_becomes_a_warning():
    # Every pixel a marker: far more than 65535 markers could start tracks.
    stack = np.full((300, 300, 2), 255, np.uint8)
    with pytest.warns(RuntimeWarning, match="limit of 65535 tracks was reached"):
        tracks = cellkit.vesquin4(stack, 3)
    assert tracks.tracklength.size == 65535
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cellkit.vesquin4(stack[:100, :100], 3)


BROADCAST_TOO_LARGE = np.broadcast_to(np.float32(1), (46341, 46341))  # no memory behind it
IMAGE = np.ones((8, 8))
STACK = tiny_stack()

# (call, exception, words the message holds); every call names its argument.
REFUSALS = [
    (lambda: cellkit.ombrisk(IMAGE > 0, 30, 5), TypeError, "image must hold real"),
    (lambda: cellkit.ombrisk(IMAGE + 0j, 30, 5), TypeError, "image must hold real"),
    (lambda: cellkit.ombrisk(IMAGE.astype(object), 30, 5), TypeError, "image must hold real"),
    (lambda: cellkit.ombrisk("image", 30, 5), TypeError, "image must hold real"),
    (lambda: cellkit.ombrisk(np.ones(8), 30, 5), ValueError, "image must have two dim"),
    (lambda: cellkit.ombrisk(np.ones((2, 2, 2)), 30, 5), ValueError, "image must have two dim"),
    (lambda: cellkit.ombrisk(BROADCAST_TOO_LARGE, 30, 5), ValueError,
     "image: Image input is too large: at most 2147483647 pixels are supported"),
    (lambda: cellkit.ombrisk(IMAGE, "30", 5), TypeError, "cell_size_limit must be a real"),
    (lambda: cellkit.ombrisk(IMAGE, True, 5), TypeError, "cell_size_limit must be a real"),
    (lambda: cellkit.ombrisk(IMAGE, [30, 40], 5), ValueError, "cell_size_limit must be a single"),
    (lambda: cellkit.ombrisk(IMAGE, 30, None), TypeError, "threshold must be a real"),
    (lambda: cellkit.ombrisk(IMAGE, 30, 1j), TypeError, "threshold must be a real"),
    (lambda: cellkit.tavenor3(IMAGE.astype(bool), 254), TypeError, "image must hold real"),
    (lambda: cellkit.tavenor3(BROADCAST_TOO_LARGE, 254), ValueError, "image: Image input is too"),
    (lambda: cellkit.tavenor3(IMAGE, []), ValueError, "celllevel must be a single"),
    (lambda: cellkit.vesquin4(STACK.astype(np.float64), 5), TypeError,
     "stack: Image with cell markers must be a uint8 matrix (not float64)"),
    (lambda: cellkit.vesquin4(STACK > 0, 5), TypeError, "must be a uint8 matrix (not bool)"),
    (lambda: cellkit.vesquin4(STACK.astype(np.int16), 5), TypeError, "uint8 matrix (not int16)"),
    (lambda: cellkit.vesquin4(STACK[..., np.newaxis], 5), ValueError, "stack must have three"),
    (lambda: cellkit.vesquin4(STACK[0, 0], 5), ValueError, "stack must have three"),
    (lambda: cellkit.vesquin4(np.broadcast_to(np.uint8(0), (65536, 8, 2)), 5), ValueError,
     "stack: Image with cell markers is too large"),
    (lambda: cellkit.vesquin4(np.broadcast_to(np.uint8(0), (8, 8, 2**31)), 5), ValueError,
     "stack: Image with cell markers has too many frames"),
    (lambda: cellkit.vesquin4(STACK, "5"), TypeError, "max_distance must be a real"),
    (lambda: cellkit.vesquin4(STACK, 5, axis_order="tcr"), ValueError, "axis_order must be"),
    (lambda: cellkit.vesquin4(STACK.tolist(), 5, inplace=True), TypeError,
     "stack must be a numpy array for inplace=True"),
    (lambda: cellkit.vesquin4(np.broadcast_to(STACK, STACK.shape), 5, inplace=True), ValueError,
     "stack is read-only"),
]


@pytest.mark.parametrize("call, error, words", REFUSALS,
                         ids=[words for _, _, words in REFUSALS])
def test_refusals_name_the_argument(call, error, words):
    with pytest.raises(error) as refused:
        call()
    assert words in str(refused.value)


def test_tracker_leaves_the_callers_array_alone_unless_asked():
    for axis_order, given in [("rct", tiny_stack()),
                              ("trc", np.moveaxis(tiny_stack(), -1, 0).copy())]:
        kept = given.copy()
        tracks = cellkit.vesquin4(given, 5, axis_order=axis_order)
        np.testing.assert_array_equal(given, kept)
        assert (tracks.stack == 254).sum() == 3
        rewritten = cellkit.vesquin4(given, 5, axis_order=axis_order, inplace=True).stack
        assert rewritten is given and (given == 254).sum() == 3


def nuclei_quarters():
    from PIL import Image
    image = np.asarray(Image.open(SOURCE / "data" / "nuclei_human_cells.png"))
    dark = 256 - image.astype(np.float64)
    dark[image < 48] = 0
    return [dark[r:r + 256, c:c + 256] for r in (0, 256) for c in (0, 256)]


def test_calls_from_several_threads_give_the_serial_results():
    images = nuclei_quarters()
    stacks = [np.where(image > 200, 255, 0).astype(np.uint8).reshape(64, 64, 16)
              for image in images]
    calls = ([lambda a=a: cellkit.ombrisk(a, 30, 5) for a in images] +
             [lambda a=a: cellkit.tavenor3(np.where(a > 250, 255, a / 2), 254) for a in images] +
             [lambda s=s: cellkit.vesquin4(s, 6, axis_order="trc").itracks for s in stacks])
    serial = [call() for call in calls]
    with ThreadPoolExecutor(max_workers=6) as pool:
        for _ in range(3):
            for result, expected in zip(pool.map(lambda call: call(), calls), serial):
                np.testing.assert_array_equal(result, expected)


def test_dask_example_on_a_local_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    from PIL import Image
    location = importlib.util.spec_from_file_location(
        "dask_label_folder", SOURCE / "examples" / "dask_label_folder.py")
    example = importlib.util.module_from_spec(location)
    location.loader.exec_module(example)

    images = tmp_path / "images"
    images.mkdir()
    original = np.asarray(Image.open(SOURCE / "data" / "nuclei_human_cells.png"))
    for k, (r, c) in enumerate([(0, 0), (0, 256), (256, 0), (256, 256)]):
        Image.fromarray(original[r:r + 256, c:c + 256]).save(images / f"quarter{k}.png")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster, timeout="30s") as client:
        cells = example.label_folder(client, images, tmp_path / "labels")

    assert sorted(cells) == [f"quarter{k}" for k in range(4)]
    for k, quarter in enumerate(nuclei_quarters()):
        labels = np.load(tmp_path / "labels" / f"quarter{k}.npy")
        np.testing.assert_array_equal(labels, cellkit.ombrisk(quarter, 30, 5))
        assert cells[f"quarter{k}"] == np.unique(labels[labels > 1]).size > 20
