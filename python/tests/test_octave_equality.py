"""Every output of the package equals the Octave module's output for the same data: number
for number in MATLAB's layout, and through the documented mapping in Python's.

The cases are the bundled images and a few hundred seeded random inputs, given to the
package in many dtypes and memory layouts, stacks frames first and frames last; Octave gets
the same values in the same class and converts them with double(), so the conversions are
checked against double() too. One Octave process computes every case's outputs
(octave_outputs.m).
"""

import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import cellkit

SOURCE = Path(os.environ.get("CELLKIT_SOURCE_DIR", Path(__file__).resolve().parents[2]))
DATA = SOURCE / "data"

# numpy dtype -> the Octave class that holds the same values (float16 has none: single does).
OCTAVE_CLASS = {np.dtype(t).name: c for t, c in [
    (np.uint8, "uint8"), (np.int8, "int8"), (np.uint16, "uint16"), (np.int16, "int16"),
    (np.uint32, "uint32"), (np.int32, "int32"), (np.uint64, "uint64"), (np.int64, "int64"),
    (np.float16, "single"), (np.float32, "single"), (np.float64, "double")]}

# How the caller's array lies over its memory: C or Fortran order, a strided view (every
# other element of a larger array), or the transpose of a C array (Fortran order reached
# through strides).
LAYOUTS = ["C", "F", "view", "transposed"]


@dataclass
class Case:
    name: str
    function: str
    values: np.ndarray            # the logical input: an image (r, c) or a stack (r, c, t)
    params: tuple
    layout: str = "C"
    axis_order: str = "rct"
    inplace: bool = False

    def callers_array(self):
        """A fresh array as the caller holds it, and the base it lies over."""
        values = self.values if self.axis_order == "rct" else np.moveaxis(self.values, -1, 0)
        if self.layout == "view":
            base = np.repeat(np.repeat(values, 2, axis=0), 2, axis=1)
            return base[::2, ::2], base
        array = {"C": np.ascontiguousarray, "F": np.asfortranarray,
                 "transposed": lambda v: np.ascontiguousarray(v.T).T}[self.layout](values)
        array = array.copy(order="K")
        return array, array


def ombrisk_case(name, values, limit=30, threshold=5, layout="C"):
    return Case(name, "ombrisk", values, (limit, threshold), layout)


def tavenor3_case(name, values, celllevel=254, layout="C"):
    return Case(name, "tavenor3", values, (celllevel,), layout)


def vesquin4_case(name, values, distance, layout="C", axis_order="rct", inplace=False):
    return Case(name, "vesquin4", values, (distance,), layout, axis_order, inplace)


def read_image(name):
    from PIL import Image
    return np.asarray(Image.open(DATA / name))


def read_stack(name):
    """A bundled time-lapse as (rows, cols, frames)."""
    import tifffile
    return np.moveaxis(tifffile.imread(DATA / name), 0, -1)


def local_maxima(frame, half_width, floor):
    """Pixels that are the largest of their (2h+1)^2 window and above floor."""
    padded = np.pad(frame.astype(float), half_width, constant_values=-np.inf)
    windows = np.lib.stride_tricks.sliding_window_view(padded, (2 * half_width + 1,) * 2)
    return (frame == windows.max(axis=(2, 3))) & (frame > floor)


def markers(stack, half_width, floor):
    return np.stack([np.where(local_maxima(stack[:, :, t], half_width, floor), 255, 0)
                     for t in range(stack.shape[2])], axis=-1).astype(np.uint8)


def bundled_cases():
    nuclei = read_image("nuclei_human_cells.png")
    dark = 256 - nuclei.astype(np.float64)
    dark[nuclei < 48] = 0
    u2os_nuclei = read_image("bbbc022_u2os_nuclei.png")
    u2os_cytoplasm = read_image("bbbc022_u2os_cytoplasm.png")
    grown = 253 - np.round(252 * np.clip((u2os_cytoplasm - 180) / 800, 0, 1))
    grown[u2os_nuclei > 300] = 1
    grown[u2os_cytoplasm < 280] = np.nan
    grown[local_maxima(u2os_nuclei, 12, 300)] = 255
    cases = [
        ombrisk_case("nuclei prepared", dark),
        ombrisk_case("nuclei uint8 as read", nuclei, 20, 3, "F"),
        ombrisk_case("u2os nuclei int32", u2os_nuclei, 30, 5, "transposed"),
        ombrisk_case("phase contrast 16-bit", read_image("phase_contrast_t98g.png"), 30, 0),
        tavenor3_case("u2os cells from seeds", grown),
        tavenor3_case("nuclei uint8 celllevel 250", nuclei, 250, "view"),
    ]
    for name in ["timelapse_nuclei_mitocheck_uint8.tif", "timelapse_nuclei_cancer_cells_uint8.tif",
                 "timelapse_nuclei_cancer_cells_uint16.tif"]:
        stack = read_stack(name)
        floor = np.percentile(stack, 90)
        marked = markers(stack, 8, floor)
        cases.append(vesquin4_case(f"{name} frames first", marked, 10, axis_order="trc"))
        cases.append(vesquin4_case(f"{name} frames last, in place", marked, 10, "F",
                                   inplace=True))
    return cases


IMAGE_DTYPES = ["uint8", "int8", "uint16", "int16", "uint32", "int32", "int64", "uint64",
                "float16", "float32", "float64"]


def random_grey(rng, dtype, shape, top):
    """Grey values 0..top (negative, NaN and -inf ones too where the dtype holds them)."""
    values = rng.integers(0, top + 1, size=shape).astype(np.float64)
    kind = np.dtype(dtype).kind
    if kind in "if":
        values[rng.random(shape) < 0.1] = -rng.integers(1, 4)
    if kind == "f":
        values += np.where(rng.random(shape) < 0.2, 0.5, 0)
        values[rng.random(shape) < 0.03] = np.nan
        values[rng.random(shape) < 0.02] = -np.inf
    return values.astype(dtype)


def random_cases(seed=20261209):
    rng = np.random.default_rng(seed)
    layouts = LAYOUTS
    cases = []
    for k in range(140):
        dtype = IMAGE_DTYPES[k % len(IMAGE_DTYPES)]
        shape = tuple(rng.integers(1, 30, size=2))
        top = int(rng.choice([2, 8, 40]))
        limit = rng.choice([0, 4, 12, 30, np.nan, np.inf])
        threshold = rng.choice([0, 2, 5, 1e9, np.nan])
        cases.append(ombrisk_case(f"ombrisk random {k} {dtype}", random_grey(rng, dtype, shape, top),
                                  limit, threshold, layouts[k % 4]))
    for k in range(140):
        dtype = IMAGE_DTYPES[k % len(IMAGE_DTYPES)]
        shape = tuple(rng.integers(1, 26, size=2))
        values = random_grey(rng, dtype, shape, int(rng.choice([1, 3, 12])))
        seeds = rng.random(shape) < rng.choice([0.02, 0.1])
        top = np.iinfo(dtype).max if np.dtype(dtype).kind in "iu" else 255
        values[seeds] = min(top, 255)
        celllevel = rng.choice([min(top, 255) - 1, 2.5, -1, np.nan])
        cases.append(tavenor3_case(f"tavenor3 random {k} {dtype}", values, celllevel,
                                   layouts[k % 4]))
    for k in range(120):
        # Frames below 8 x 8 link nothing: a few of them, mostly larger ones.
        shape = (*rng.integers(5 if k % 10 == 0 else 8, 40, size=2), int(rng.integers(1, 7)))
        stack = rng.integers(0, 254, size=shape, dtype=np.uint8)
        marked = rng.random(shape) < rng.choice([0.01, 0.03, 0.08])
        stack[marked] = rng.choice([254, 255], size=int(marked.sum()))
        distance = rng.choice([3, 4, 4.9, 5, 6, 9, 12, 0, 2, -0.5, np.nan, 1e12])
        cases.append(vesquin4_case(f"vesquin4 random {k}", stack, distance, layouts[k % 4],
                                   ("rct", "trc")[k % 2], inplace=k % 3 == 0))
    return cases


def conversion_cases():
    """Values whose double() is not the value itself, and values double() makes refused."""
    base = -(2**60)  # doubles here lie 256 apart: base + 1 rounds to base, base + 200 up
    offsets = np.array([[0, 1, 127, 128, 129], [200, 255, 256, 300, 384], [0, 0, 0, 0, 0]])
    near = (base + offsets).astype(np.int64)
    return [
        tavenor3_case("int64 beyond 2^53 rounds to nearest", near, float(base), "F"),
        tavenor3_case("int64 beyond 2^53, seeds above base+256", near, float(base + 256)),
        tavenor3_case("uint64 2^64-1 is refused", np.full((3, 3), 2**64 - 1, np.uint64)),
        tavenor3_case("2^49 is refused", np.full((2, 2), 2.0**49)),
        ombrisk_case("int64 2^53-1 is refused", np.array([[2**53 - 1]], np.int64)),
        ombrisk_case("inf is refused", np.array([[1, np.inf]], np.float32)),
        ombrisk_case("empty image", np.zeros((0, 4))),
        tavenor3_case("empty image", np.zeros((3, 0), np.uint16)),
        vesquin4_case("empty stack", np.zeros((0, 9, 3), np.uint8), 5),
        vesquin4_case("one frame", np.full((12, 12, 1), 255, np.uint8), 5, axis_order="trc"),
    ]


CASES = bundled_cases() + random_cases() + conversion_cases()


def write_cases(folder):
    lines = []
    for k, case in enumerate(CASES):
        values = case.values
        if values.dtype == np.float16:
            values = values.astype(np.float32)  # exactly the same numbers
        (folder / f"in{k}.bin").write_bytes(values.tobytes(order="F"))
        rows, cols, frames = (values.shape + (1,))[:3]
        params = " ".join(repr(float(p)).replace("nan", "NaN").replace("inf", "Inf")
                          for p in case.params)
        lines.append(f"{k} {case.function} {OCTAVE_CLASS[values.dtype.name]} "
                     f"{rows} {cols} {frames} {params}")
    (folder / "manifest.txt").write_text("\n".join(lines) + "\n")


@pytest.fixture(scope="module")
def octave_outputs(tmp_path_factory):
    toolbox = os.environ.get("CELLKIT_TOOLBOX_DIR")
    octave = os.environ.get("CELLKIT_OCTAVE")
    if not toolbox or not octave:
        pytest.skip("CELLKIT_TOOLBOX_DIR and CELLKIT_OCTAVE name the built Octave toolbox "
                    "(ctest sets them)")
    folder = tmp_path_factory.mktemp("octave")
    write_cases(folder)
    subprocess.run([octave, "--no-gui", "--norc", "--no-history", "--quiet",
                    str(Path(__file__).with_name("octave_outputs.m")), toolbox, str(folder)],
                   check=True, timeout=600)
    return folder


def octave_output(folder, k, name, dtype, shape):
    return np.fromfile(folder / f"out{k}_{name}.bin", dtype=dtype).reshape(shape, order="F")


def check_tracker(case, folder, k, array, base, original, tracks):
    rows, cols, frames = case.values.shape
    n, tail_nonzero, *ptracks_shape = np.fromfile(folder / f"out{k}_count.bin").astype(int)
    assert tail_nonzero == 0 and tuple(ptracks_shape) == tracks.ptracks.shape
    assert tracks.ptracks.dtype == np.uint16 and tracks.itracks.dtype == np.uint16
    assert not tracks.ptracks[n:].any()
    np.testing.assert_array_equal(tracks.ptracks[:n],
                                  octave_output(folder, k, "ptracks", np.uint16, (n, frames, 2)))
    per_track = octave_output(folder, k, "pertrack", np.float64, (n, 4))
    for column, output in enumerate([tracks.tracklength, tracks.trackstarts,
                                     tracks.trackstart_x, tracks.trackstart_y]):
        assert output.dtype == np.float64 and output.shape == (n,)
        np.testing.assert_array_equal(output, per_track[:, column])
    # Stacks come back in the caller's axis order.
    in_callers_order = (lambda s: s) if case.axis_order == "rct" else \
        (lambda s: np.moveaxis(s, -1, 0))
    itracks = octave_output(folder, k, "itracks", np.uint16, (rows, cols, frames))
    np.testing.assert_array_equal(tracks.itracks, in_callers_order(itracks))
    rewritten = in_callers_order(octave_output(folder, k, "stack", np.uint8,
                                               (rows, cols, frames)))
    np.testing.assert_array_equal(tracks.stack, rewritten)
    if case.inplace:
        assert tracks.stack is array
        np.testing.assert_array_equal(array, rewritten)
        if base is not array:  # a view: the rest of its base is untouched
            expected = original.copy()
            expected[::2, ::2] = rewritten
            np.testing.assert_array_equal(base, expected)
    else:
        assert base.tobytes() == original.tobytes()


def python_labels(B):
    """ombrisk's labels in Python's layout: 0 for MATLAB's 0 and 1, and the cells from 2 up
    numbered 1..n in the order of their MATLAB labels."""
    cells = np.unique(B[B > 1])
    labels = np.zeros(B.shape, np.int32)
    labels[B > 1] = np.searchsorted(cells, B[B > 1]) + 1
    return labels


def check_python_tracks(tracks, matlab):
    """Python's tracks against MATLAB's, through the mapping vesquin4's docstring gives."""
    n = matlab.tracklength.size
    frames = matlab.ptracks.shape[1]
    np.testing.assert_array_equal(tracks.labels, matlab.itracks)
    positions = np.full((n, frames, 2), -1)
    marked = matlab.ptracks[:n, :, 0] > 0
    positions[marked] = matlab.ptracks[:n][marked][:, ::-1].astype(int) - 1
    assert tracks.positions.dtype == np.int32
    np.testing.assert_array_equal(tracks.positions, positions)
    for python, mapped in [(tracks.length, matlab.tracklength + 1),
                           (tracks.start_t, matlab.trackstarts - 1),
                           (tracks.start_y, matlab.trackstart_y - 1),
                           (tracks.start_x, matlab.trackstart_x - 1)]:
        assert python.dtype == np.int64
        np.testing.assert_array_equal(python, mapped)
    np.testing.assert_array_equal(tracks.stack, matlab.stack)


def call(case, array, layout):
    if case.function == "vesquin4":
        # Python's layout takes frames first by default: leave the keyword out then.
        order = {} if (layout, case.axis_order) == ("python", "trc") else \
            {"axis_order": case.axis_order}
        return cellkit.vesquin4(array, *case.params, layout=layout, inplace=case.inplace, **order)
    return getattr(cellkit, case.function)(array, *case.params, layout=layout)


@pytest.mark.parametrize("k", range(len(CASES)), ids=[case.name for case in CASES])
@pytest.mark.filterwarnings("ignore:max_distance")
@pytest.mark.filterwarnings("ignore:cell_level")
def test_equals_octave(octave_outputs, k):
    case = CASES[k]
    array, base = case.callers_array()
    original = base.copy()
    error_file = octave_outputs / f"out{k}_error.txt"
    if error_file.exists():
        # Octave prefixes the function's name; the package names the argument.
        message = error_file.read_text().split(": ", 1)[1]
        for layout in ["matlab", "python"]:
            with pytest.raises(ValueError) as refused:
                call(case, array, layout)
            assert str(refused.value) == f"image: {message}"
        assert base.tobytes() == original.tobytes()
        return
    result = call(case, array, "matlab")
    if case.function == "vesquin4":
        check_tracker(case, octave_outputs, k, array, base, original, result)
    else:
        expected = octave_output(octave_outputs, k, "labels", np.float64, case.values.shape)
        assert result.dtype == np.int32 and result.shape == case.values.shape
        np.testing.assert_array_equal(result, expected)
        assert base.tobytes() == original.tobytes()

    # Python's layout: NaN parameters are refused; a max_distance beyond the 32-bit range
    # means no limit there, where MATLAB links nothing.
    if any(np.isnan(p) for p in case.params):
        with pytest.raises(ValueError, match="must be a number, not NaN"):
            call(case, array, "python")
        return
    if case.function == "vesquin4" and case.params[0] >= 2**31:
        return
    array, base = case.callers_array()
    python = call(case, array, "python")
    if case.function == "vesquin4":
        check_python_tracks(python, result)
    elif case.function == "ombrisk":
        np.testing.assert_array_equal(python, python_labels(result))
    else:
        np.testing.assert_array_equal(python, result)
