"""The package as a Python caller meets it: worked cases in both layouts, refusals and
warnings, the tracker's options, the tables, the sample data, the docstrings' examples and
calls from several threads. Equality with the Octave modules is in
test_octave_equality.py, the command line in test_cli.py."""

import doctest
import importlib
import os
import pickle
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import cellkit

SOURCE = Path(os.environ.get("CELLKIT_SOURCE_DIR", Path(__file__).resolve().parents[2]))


def tiny_stack():
    """The help text's example, (t, y, x): one marker moving over three frames."""
    stack = np.zeros((3, 40, 40), np.uint8)
    stack[0, 19, 19] = 255
    stack[1, 20, 21] = 255
    stack[2, 21, 22] = 255
    return stack


def test_worked_cases_in_both_layouts():
    seeds = [[0, 255, 0, 0, 255], [0, 0, 0, 0, 0]]
    for layout in ["python", "matlab"]:
        np.testing.assert_array_equal(cellkit.tavenor3(seeds, 254, layout=layout),
                                      [[1, 1, 1, 2, 2], [1, 1, 1, 2, 2]])
    # A 7x7 image of ones: one stamp, then growth over the ring: all one cell, MATLAB's 2.
    ones = np.ones((7, 7), np.uint8)
    np.testing.assert_array_equal(cellkit.ombrisk(ones, 30, 5), np.full((7, 7), 1))
    np.testing.assert_array_equal(cellkit.ombrisk(ones, 30, 5, layout="matlab"),
                                  np.full((7, 7), 2))

    tracks = cellkit.vesquin4(tiny_stack(), 5)
    assert (tracks.length.tolist(), tracks.start_t.tolist(), tracks.start_y.tolist(),
            tracks.start_x.tolist()) == ([3], [0], [19], [19])
    assert tracks.positions.dtype == np.int32 and tracks.start_t.dtype == np.int64
    np.testing.assert_array_equal(tracks.positions, [[[19, 19], [20, 21], [21, 22]]])
    matlab = cellkit.vesquin4(np.moveaxis(tiny_stack(), 0, -1), 5, layout="matlab")
    assert (matlab.tracklength.tolist(), matlab.trackstarts.tolist(),
            matlab.trackstart_x.tolist(), matlab.trackstart_y.tolist()) == ([2], [1], [20], [20])
    np.testing.assert_array_equal(matlab.ptracks[0, :, :], [[20, 20], [22, 21], [23, 22]])
    table = [[1, 0, 19, 19], [1, 1, 20, 21], [1, 2, 21, 22]]
    # Every form of the result gives the same table: the named tuples, any sequence of
    # their fields, the positions or ptracks alone.
    for given in [tracks, tuple(tracks), list(tracks), tracks.positions, matlab,
                  tuple(matlab), matlab.ptracks]:
        np.testing.assert_array_equal(cellkit.tracks_table(given), table)
        np.testing.assert_array_equal(cellkit.tracks_summary(given),
                                      [[1, 0, 2, 3, 19, 19, 21, 22]])


def test_labels_number_the_cells_as_scikit_image_counts_them():
    measure = pytest.importorskip("skimage.measure")
    labels = cellkit.ombrisk(cellkit.prepare(cellkit.data.nuclei(), background=48), 30, 5)
    regions = measure.regionprops_table(labels, properties=("label", "area"))
    assert regions["label"].tolist() == list(range(1, 306)) and regions["area"].min() > 20


def test_tracks_tables_of_several_tracks_in_both_axis_orders():
    stack = tiny_stack()
    stack[1, 30, 10] = 255  # a second track, over frames 1 and 2
    stack[2, 31, 11] = 255
    for tracks in [cellkit.vesquin4(stack, 5),
                   cellkit.vesquin4(np.moveaxis(stack, 0, -1), 5, axis_order="rct")]:
        table = cellkit.tracks_table(tracks)
        np.testing.assert_array_equal(table, [[1, 0, 19, 19], [1, 1, 20, 21], [1, 2, 21, 22],
                                              [2, 1, 30, 10], [2, 2, 31, 11]])
        # The ids are the ones in labels, at the rows and columns the table gives.
        labels = tracks.labels if tracks.labels.shape[0] == 3 else \
            np.moveaxis(tracks.labels, -1, 0)
        np.testing.assert_array_equal(labels[table[:, 1], table[:, 2], table[:, 3]],
                                      table[:, 0])
        np.testing.assert_array_equal(tracks.positions[1], [[-1, -1], [30, 10], [31, 11]])
        np.testing.assert_array_equal(cellkit.tracks_summary(tracks)[:, :4],
                                      [[1, 0, 2, 3], [2, 1, 2, 2]])
    pandas = pytest.importorskip("pandas")
    frame = cellkit.tracks_table(tracks, as_frame=True)
    assert isinstance(frame, pandas.DataFrame) and tuple(frame.columns) == cellkit.TRACKS_COLUMNS
    np.testing.assert_array_equal(frame.to_numpy(), table)
    summary = cellkit.tracks_summary(tracks, as_frame=True)
    assert tuple(summary.columns) == cellkit.SUMMARY_COLUMNS and summary["length"].tolist() == [3, 2]


def test_a_single_frame_links_nothing_and_keeps_its_shape():
    frame = np.full((12, 12), 255, np.uint8)
    frame[0, 0] = 7
    for layout in ["python", "matlab"]:
        tracks = cellkit.vesquin4(frame, 5, layout=layout)
        assert tracks[0].shape == (12, 12) and not tracks[0].any()
        assert tracks[1].shape == ((0, 1, 2) if layout == "python" else (100000, 1, 2))
        assert tracks[2].shape == (0,)
        np.testing.assert_array_equal(tracks.stack, frame)
    assert cellkit.tracks_table(tracks).shape == (0, 4)
    assert cellkit.tracks_summary(tracks).shape == (0, 8)


def test_python_tracks_are_compact():
    # One marker over 1000 frames of 64 x 64: MATLAB's Ptracks alone would be 400 MB.
    stack = np.zeros((1000, 64, 64), np.uint8)
    stack[:, 30, 30] = 255
    tracks = cellkit.vesquin4(stack, 5)
    assert tracks.positions.shape == (1, 1000, 2) and tracks.length.tolist() == [1000]
    assert len(pickle.dumps(cellkit.vesquin4(stack[:3], 5))) < 40_000


def test_track_limit_becomes_a_warning():
    # Every pixel a marker: far more than 65535 markers could start tracks.
    stack = np.full((2, 300, 300), 255, np.uint8)
    with pytest.warns(RuntimeWarning, match="limit of 65535 tracks was reached"):
        tracks = cellkit.vesquin4(stack, 3)
    assert tracks.length.size == 65535
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cellkit.vesquin4(stack[:, :100, :100], 3)


def test_parameters_that_do_nothing_warn_and_naming_them():
    stack = tiny_stack()
    for distance, layout in [(2, "python"), (-np.inf, "python"), (2.99, "matlab"),
                             (np.nan, "matlab"), (np.inf, "matlab"), (2**31, "matlab")]:
        with pytest.warns(UserWarning, match="^max_distance: .* links nothing"):
            tracks = cellkit.vesquin4(stack, distance, layout=layout)
        assert len(tracks[2]) == 0
    with pytest.warns(UserWarning, match="^cell_level: no pixel lies above 254"):
        assert not cellkit.tavenor3(np.full((5, 5), 254.0), 254).any()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        cellkit.vesquin4(stack, 3)
        cellkit.tavenor3(np.zeros((0, 5)), 254)
        # No limit in Python's layout: the same as the widest half-width a frame can hold.
        for distance in [np.inf, 10**400, 2**31]:
            np.testing.assert_array_equal(cellkit.tracks_table(cellkit.vesquin4(stack, distance)),
                                          cellkit.tracks_table(cellkit.vesquin4(stack, 65535)))


def test_prepare_inverts_bright_cells_and_keeps_the_background_out():
    image = np.array([[10, 200], [50, 255]], np.uint8)
    np.testing.assert_array_equal(cellkit.prepare(image, background=48), [[0, 56], [206, 1]])
    np.testing.assert_array_equal(cellkit.prepare(image, bright=False, background=None), image)
    prepared = cellkit.prepare(np.array([[np.nan, np.inf], [-np.inf, 3.0]]), background=None)
    np.testing.assert_array_equal(prepared, [[np.nan, np.nan], [np.nan, 1.0]])
    filters = pytest.importorskip("skimage.filters")
    for image in [cellkit.data.nuclei(), cellkit.data.u2os_nuclei()]:
        expected = image.max() + 1.0 - image
        expected[image <= filters.threshold_otsu(image)] = 0
        np.testing.assert_array_equal(cellkit.prepare(image), expected)


def test_python_ints_beyond_the_doubles_are_infinite():
    # double() of such an int is inf, as MATLAB would have it.
    np.testing.assert_array_equal(cellkit.ombrisk(np.ones((8, 8)), 30, 10**400),
                                  cellkit.ombrisk(np.ones((8, 8)), 30, np.inf))
    np.testing.assert_array_equal(cellkit.ombrisk(np.ones((8, 8)), -10**400, 5),
                                  cellkit.ombrisk(np.ones((8, 8)), -np.inf, 5))
    assert len(cellkit.vesquin4(tiny_stack(), 10**400).length) == 1


def test_the_namespace_holds_the_public_names_alone():
    assert sorted(name for name in vars(cellkit) if not name.startswith("_")) == \
        sorted(name for name in cellkit.__all__ if name != "__version__")
    assert sorted(name for name in vars(cellkit.data) if not name.startswith("_")) == \
        sorted(cellkit.data.__all__)
    assert (Path(cellkit.__file__).parent / "py.typed").is_file()


def test_sample_data_load_from_the_installed_package():
    assert cellkit.data.nuclei().dtype == np.uint8
    assert cellkit.data.u2os_nuclei().dtype == np.uint16
    assert cellkit.data.phase_contrast().shape == (1022, 1024)
    assert cellkit.data.cancer_cells(bits=16).shape == (48, 130, 130)
    assert cellkit.data.mitocheck().shape == (30, 190, 211)
    for name in cellkit.data.FILES:
        assert cellkit.data.path(name).read_bytes() == (SOURCE / "data" / name).read_bytes()
    with pytest.raises(ValueError, match="no bundled file 'nuclei.png'"):
        cellkit.data.path("nuclei.png")


@pytest.mark.parametrize("module", ["cellkit._labelling", "cellkit._tracks", "cellkit._prepare",
                                    "cellkit.data"])
def test_docstring_examples_run(module, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # from any folder
    importlib.import_module(module)
    results = doctest.testmod(importlib.import_module(module), optionflags=doctest.ELLIPSIS)
    assert results.failed == 0 and results.attempted > 0


BROADCAST_TOO_LARGE = np.broadcast_to(np.float32(1), (46341, 46341))  # no memory behind it
IMAGE = np.ones((8, 8))
STACK = tiny_stack()

# (call, exception, words the message holds); every call names its argument.
REFUSALS = [
    (lambda: cellkit.ombrisk(IMAGE > 0, 30, 5), TypeError, "not bool: convert a mask"),
    (lambda: cellkit.ombrisk(IMAGE + 0j, 30, 5), TypeError, "not complex128: pass the real"),
    (lambda: cellkit.ombrisk(IMAGE.astype(object), 30, 5), TypeError, "not object: give a num"),
    (lambda: cellkit.ombrisk("image", 30, 5), TypeError, "image must hold real"),
    (lambda: cellkit.ombrisk(np.ones(8), 30, 5), ValueError, "image must have two dim"),
    (lambda: cellkit.ombrisk(np.ones((2, 2, 2)), 30, 5), ValueError, "image must have two dim"),
    (lambda: cellkit.ombrisk(BROADCAST_TOO_LARGE, 30, 5), ValueError,
     "image: Image input is too large: at most 2147483647 pixels are supported"),
    (lambda: cellkit.ombrisk(IMAGE, "30", 5), TypeError, "cell_size_limit must be a real"),
    (lambda: cellkit.ombrisk(IMAGE, True, 5), TypeError, "cell_size_limit must be a real"),
    (lambda: cellkit.ombrisk(IMAGE, [30, 40], 5), ValueError, "cell_size_limit must be a single"),
    (lambda: cellkit.ombrisk(IMAGE, np.nan, 5), ValueError, "cell_size_limit must be a number, "
                                                             "not NaN"),
    (lambda: cellkit.ombrisk(IMAGE, 30, None), TypeError, "threshold must be a real"),
    (lambda: cellkit.ombrisk(IMAGE, 30, 1j), TypeError, "threshold must be a real"),
    (lambda: cellkit.ombrisk(IMAGE, 30, float("nan")), ValueError, "threshold must be a number"),
    (lambda: cellkit.ombrisk(IMAGE, 30, 5, layout="MATLAB"), ValueError, "layout must be"),
    (lambda: cellkit.ombrisk(IMAGE, 30, 5, threads=0), ValueError, "threads must be at least 1"),
    (lambda: cellkit.ombrisk(IMAGE, 30, 5, threads=2.0), TypeError, "threads must be a whole"),
    (lambda: cellkit.tavenor3(IMAGE.astype(bool), 254), TypeError, "image must hold real"),
    (lambda: cellkit.tavenor3(BROADCAST_TOO_LARGE, 254), ValueError, "image: Image input is too"),
    (lambda: cellkit.tavenor3(IMAGE, []), ValueError, "cell_level must be a single"),
    (lambda: cellkit.tavenor3(IMAGE, np.nan), ValueError, "cell_level must be a number"),
    (lambda: cellkit.vesquin4(STACK.astype(np.float64), 5), TypeError,
     "stack: Image with cell markers must be a uint8 matrix (not float64)"),
    (lambda: cellkit.vesquin4(STACK > 0, 5), TypeError, "(not bool): markers are the values"),
    (lambda: cellkit.vesquin4(STACK.astype(np.int16), 5), TypeError, "uint8 matrix (not int16)"),
    (lambda: cellkit.vesquin4(STACK[..., np.newaxis], 5), ValueError, "stack must have three"),
    (lambda: cellkit.vesquin4(STACK[0, 0], 5), ValueError, "stack must have three"),
    (lambda: cellkit.vesquin4(np.broadcast_to(np.uint8(0), (2, 65536, 8)), 5), ValueError,
     "stack: Image with cell markers is too large"),
    (lambda: cellkit.vesquin4(np.broadcast_to(np.uint8(0), (8, 8, 2**31)), 5, axis_order="rct"),
     ValueError, "stack: Image with cell markers has too many frames"),
    (lambda: cellkit.vesquin4(STACK, "5"), TypeError, "max_distance must be a real"),
    (lambda: cellkit.vesquin4(STACK, np.nan), ValueError, "max_distance must be a number"),
    (lambda: cellkit.vesquin4(STACK, 5, axis_order="tcr"), ValueError, "axis_order must be"),
    (lambda: cellkit.vesquin4(STACK, 5, layout="octave"), ValueError, "layout must be"),
    (lambda: cellkit.vesquin4(STACK.tolist(), 5, inplace=True), TypeError,
     "stack must be a numpy array for inplace=True"),
    (lambda: cellkit.vesquin4(np.broadcast_to(STACK, STACK.shape), 5, inplace=True), ValueError,
     "stack is read-only"),
    (lambda: cellkit.tracks_table(STACK), ValueError, "tracks must be what vesquin4 returns"),
    (lambda: cellkit.prepare(IMAGE > 0), TypeError, "not bool: convert a mask"),
    (lambda: cellkit.prepare(IMAGE, background="li"), ValueError, "background must be a number"),
]


@pytest.mark.parametrize("call, error, words", REFUSALS,
                         ids=[words for _, _, words in REFUSALS])
def test_refusals_name_the_argument(call, error, words):
    with pytest.raises(error) as refused:
        call()
    assert words in str(refused.value)


def test_tracker_leaves_the_callers_array_alone_unless_asked():
    for axis_order, given in [("trc", tiny_stack()),
                              ("rct", np.moveaxis(tiny_stack(), 0, -1).copy())]:
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
             [lambda a=a: cellkit.tavenor3(np.where(a > 205, 255, a / 2), 254) for a in images] +
             [lambda s=s: cellkit.vesquin4(s, 6).positions for s in stacks])
    serial = [call() for call in calls]
    with ThreadPoolExecutor(max_workers=6) as pool:
        for _ in range(3):
            for result, expected in zip(pool.map(lambda call: call(), calls), serial):
                np.testing.assert_array_equal(result, expected)


def test_one_call_on_several_threads_gives_the_labels_of_one():
    # 2048x2048, large enough for the levels to be shared.
    image = np.tile(nuclei_quarters()[0], (8, 8))
    alone = cellkit.ombrisk(image, 30, 5, layout="matlab")
    assert alone.max() > 1000
    for threads in (2, 3, np.int64(8)):
        np.testing.assert_array_equal(cellkit.ombrisk(image, 30, 5, layout="matlab",
                                                      threads=threads), alone)


def test_python_demo_draws_its_pictures(tmp_path):
    pytest.importorskip("matplotlib")
    import subprocess
    import sys

    result = subprocess.run([sys.executable, str(SOURCE / "examples" / "python_demo.py"),
                             str(tmp_path)], capture_output=True, text=True, timeout=300,
                            cwd=tmp_path, env=dict(os.environ, MPLBACKEND="Agg"))
    assert result.returncode == 0, result.stderr
    assert "305 cells" in result.stdout and "25 tracks, 10 over the whole movie" in result.stdout
    from PIL import Image
    for name in ["python_ombrisk.png", "python_vesquin4.png"]:
        assert Image.open(tmp_path / name).format == "PNG"
