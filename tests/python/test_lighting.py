"""The Python package: golden vectors bit for bit through the scalar and batch
functions, the conversions, every error, out=, and threads shading at once.

Run with PYTHONPATH pointing at the built package and LIGHTING_GOLDEN_VECTORS
at tests/golden/vectors.txt (CTest sets both).
"""

import math
import os
import pydoc
import threading
import time
import tracemalloc
from typing import NamedTuple

import numpy as np
import pytest

import lighting

HERE = os.path.dirname(__file__)
GOLDEN = os.environ.get("LIGHTING_GOLDEN_VECTORS", os.path.join(HERE, "..", "golden", "vectors.txt"))
PORTABLE_GOLDEN = os.environ.get(
    "LIGHTING_PORTABLE_GOLDEN_VECTORS", os.path.join(HERE, "..", "golden", "vectors_portable.txt")
)
REPLICAS = 17  # more than a full vector of the widest SIMD unit, and a tail

DISTANCE, DIRECTION, DOT, RECEIVED, DIFFUSED = 0, 1, 4, 5, 8


class Golden(NamedTuple):
    names: np.ndarray  # case names
    inputs: np.ndarray  # float32, 16 a case
    expected: np.ndarray  # uint32 bits, 11 a case


def load_golden(path):
    names, words = [], []
    with open(path) as file:
        for text in file:
            if not text.strip() or text.startswith("#"):
                continue
            fields = text.split()
            assert len(fields) == 28, text
            names.append(fields[0])
            words.append([int(word, 16) for word in fields[1:]])
    bits = np.array(words, dtype=np.uint32)
    return Golden(np.array(names), bits[:, :16].view(np.float32), bits[:, 16:])


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def with_this_platforms_pow(golden):
    """The default flavour's golden outputs as this process's pow gives them.
    That flavour's root is the C library's pow, which Python's math.pow calls
    too, and pows differ in the last bit of rare roots (glibc picks an FMA or
    a non-FMA pow by processor, and GLIBC_TUNABLES can choose). The vectors
    hold the reference pow's results; on each pow witness this pow rounds the
    other way, the distance is this pow's and the received energy follows
    from it. Returns the vectors and how many witnesses moved."""
    names, inputs, expected = golden
    here = expected.copy()
    moved = 0
    for row in np.flatnonzero(names == "pow_not_sqrt"):
        # Integer coordinates below 2^26: the sum of squares is exact in double.
        point, light = inputs[row, 0:3].astype(float), inputs[row, 9:12].astype(float)
        s = float(np.sum((point - light) ** 2))
        distance = np.float32(math.pow(s, 0.5))
        if bits(distance) == expected[row, DISTANCE]:
            continue
        moved += 1
        falloff = np.float32((1.0 / float(distance)) / float(distance))
        colour, intensity = inputs[row, 12:15].astype(float), float(inputs[row, 15])
        here[row, DISTANCE] = bits(distance)
        here[row, RECEIVED : RECEIVED + 3] = bits((float(falloff) * intensity) * colour)
    return golden._replace(expected=here), moved


REFERENCE = load_golden(GOLDEN)
NAMES, INPUTS, EXPECTED = REFERENCE
DEFAULT_HERE, POW_WITNESSES_MOVED = with_this_platforms_pow(REFERENCE)
# The portable flavour's vectors come from exact integer arithmetic, with no
# libm: every platform must give them as they are.
PORTABLE = load_golden(PORTABLE_GOLDEN)

# Every test that takes `flavour` runs once per flavour of the library.
FLAVOURS = {"default": (lighting, DEFAULT_HERE), "portable": (lighting.portable, PORTABLE)}
every_flavour = pytest.mark.parametrize("flavour", FLAVOURS)


def test_the_pow_witnesses_are_recognised():
    assert (NAMES == "pow_not_sqrt").sum() == 38
    print("this process's pow rounds %d of the 38 pow witnesses differently" % POW_WITNESSES_MOVED)


def test_the_portable_vectors_round_the_pow_witnesses_to_the_even_float_below():
    # The witnesses' roots lie a hair below a float midpoint: the reference
    # pow rounds them up, the correctly rounded root to the even float below.
    default = REFERENCE.names == "pow_not_sqrt"
    portable = PORTABLE.names == "pow_not_sqrt"
    assert (PORTABLE.inputs[portable] == REFERENCE.inputs[default]).all()
    assert (PORTABLE.expected[portable, DISTANCE] == REFERENCE.expected[default, DISTANCE] - 1).all()
    assert (PORTABLE.expected[portable, DISTANCE] & 1 == 0).all()


def assert_golden(actual, first, columns, golden, rows=slice(None)):
    """actual (float32, one row per selected case) against the expected bits
    of outputs first..first+columns-1; a NaN matches any NaN."""
    actual_bits = bits(actual).reshape(-1, columns)
    expected = golden.expected[rows, first : first + columns]
    nan = lambda b: (b & 0x7FFFFFFF) > 0x7F800000
    same = (actual_bits == expected) | (nan(actual_bits) & nan(expected))
    bad = np.argwhere(~same)
    assert bad.size == 0, [
        (golden.names[rows][i], first + j, hex(expected[i, j]), hex(actual_bits[i, j])) for i, j in bad[:10]
    ]


def case_records(inputs):
    values = [float(v) for v in inputs]
    point = lighting.Vector3(*values[0:3])
    normal = tuple(values[3:6])  # a tuple where a record is expected
    reflectance = lighting.Vector3(*values[6:9])
    light = lighting.PointLight(tuple(values[9:12]), *values[12:16])
    return point, normal, reflectance, light


@every_flavour
def test_every_golden_vector_through_the_scalar_functions(flavour):
    module, golden = FLAVOURS[flavour]
    distance, direction, dot, received, diffused = [], [], [], [], []
    for inputs in golden.inputs:
        point, normal, reflectance, light = case_records(inputs)
        distance.append(module.light_distance(point, light))
        direction.append(tuple(module.light_direction(point, light)))
        dot.append(module.dot_product(normal, reflectance))
        received.append(tuple(module.received_energy(point, light)))
        diffused.append(tuple(module.diffused_energy(point, normal, reflectance, light)))
    assert len(golden.names) > 5000
    assert_golden(distance, DISTANCE, 1, golden)
    assert_golden(direction, DIRECTION, 3, golden)
    assert_golden(dot, DOT, 1, golden)
    assert_golden(received, RECEIVED, 3, golden)
    assert_golden(diffused, DIFFUSED, 3, golden)


def light_of(inputs):
    values = [float(v) for v in inputs]
    return lighting.PointLight(tuple(values[9:12]), *values[12:16])


@every_flavour
def test_every_golden_vector_through_the_batches_in_every_lane(flavour):
    module, golden = FLAVOURS[flavour]
    received, one_plane, each, mixed = [], [], [], []
    for inputs in golden.inputs:
        light = light_of(inputs)
        points, normals, reflectances = (np.repeat(inputs[None, k : k + 3], REPLICAS, axis=0) for k in (0, 3, 6))
        received.append(module.received_energy(points, light))
        one_plane.append(module.diffused_energy(points, inputs[3:6], inputs[6:9], light))
        each.append(module.diffused_energy(points, normals, reflectances, light))
        mixed.append(module.diffused_energy(points, inputs[3:6], reflectances, light))
    rows = np.repeat(np.arange(len(golden.names)), REPLICAS)
    assert_golden(np.concatenate(received), RECEIVED, 3, golden, rows)
    for result in (one_plane, each, mixed):
        assert_golden(np.concatenate(result), DIFFUSED, 3, golden, rows)


@every_flavour
def test_a_batch_of_different_points_matches_the_scalar_function_row_by_row(flavour):
    module = FLAVOURS[flavour][0]
    points = INPUTS[:, 0:3]
    normals = INPUTS[:, 3:6]
    reflectances = INPUTS[:, 6:9]
    light = light_of(INPUTS[0])
    batch = module.diffused_energy(points, normals, reflectances, light)
    scalar = [
        tuple(module.diffused_energy(tuple(p), tuple(n), tuple(r), light))
        for p, n, r in zip(points.tolist(), normals.tolist(), reflectances.tolist())
    ]
    nan = np.isnan(batch)
    assert (nan == np.isnan(scalar)).all()
    assert (bits(batch)[~nan] == bits(scalar)[~nan]).all()


# --- records and conversions ------------------------------------------------

DEMO_LIGHT = lighting.PointLight((-1.0, 2.0, 4.0), 1.0, 0.5, 0.5, 5.0)


def test_python_floats_are_rounded_as_numpy_float32_does():
    # Ties go to even; a value a hair above a tie rounds up (one rounding, not two).
    for value in (0.1, 1 + 2.0**-24, 1 + 3 * 2.0**-24, 1 + 2.0**-24 + 2.0**-52, 1e-45, 7e-46, -0.0):
        assert bits(lighting.Vector3(value).x) == bits(np.float32(value)), value
    with np.errstate(over="ignore"):
        assert bits(lighting.PointLight((0, 0, 0), 1e300, 0, 0, 0).r) == bits(np.float32(1e300))
    assert bits(lighting.light_distance((0.1, 0.0, 0.0), lighting.PointLight((0, 0, 0), 1, 1, 1, 1))) == bits(
        np.float32(0.1)
    )


def test_importing_leaves_subnormals_alone():
    # A module linked with -ffast-math would set flush-to-zero for the process.
    assert bits(np.float32(1e-40)) == 0x000116C2
    assert bits(np.array([1e-40]).astype(np.float32))[0] == 0x000116C2
    assert bits(lighting.Vector3(1e-40).x) == 0x000116C2


def test_records_unpack_compare_and_print():
    v = lighting.Vector3(1, 2.5, -0.0)
    x, y, z = v
    assert (x, y, z) == (1.0, 2.5, 0.0) and bits(z) == 0x80000000
    assert len(v) == 3 and v[-1] == v[2] and tuple(v) == (1.0, 2.5, -0.0)
    assert v == lighting.Vector3(1, 2.5, 0.0)
    assert repr(v) == "Vector3(1.0, 2.5, -0.0)"
    light = lighting.PointLight(v, 1, 0.5, 0.25, 2)
    light.position.x = 3  # the position is the light's own record
    assert light.position == lighting.Vector3(3, 2.5, 0)
    light.position = (4, 5, 6)
    assert repr(light) == "PointLight(Vector3(4.0, 5.0, 6.0), 1.0, 0.5, 0.25, 2.0)"
    with pytest.raises(IndexError):
        v[3]


def test_scalar_functions_take_records_tuples_lists_and_short_arrays():
    expected = lighting.diffused_energy(
        lighting.Vector3(1, 2, 0), lighting.Vector3(0, 0, 1), lighting.Vector3(0.5, 0.5, 1), DEMO_LIGHT
    )
    assert lighting.diffused_energy((1, 2, 0), [0, 0, 1], np.array([0.5, 0.5, 1]), DEMO_LIGHT) == expected
    assert "%f %f %f" % tuple(expected) == "0.111803 0.055902 0.111803"


def test_batch_input_of_any_real_dtype_is_converted_as_numpy_asarray_would():
    rng = np.random.default_rng(7)
    points64 = rng.uniform(-10, 10, size=(101, 3))
    reference = lighting.received_energy(np.asarray(points64, dtype=np.float32), DEMO_LIGHT)
    assert reference.dtype == np.float32 and reference.shape == (101, 3)
    for variant in (
        points64,
        points64.tolist(),
        np.asfortranarray(points64.astype(np.float32)),
        points64.astype(">f4"),
        np.repeat(points64.astype(np.float32), 2, axis=0)[::2],  # strided
    ):
        assert (bits(lighting.received_energy(variant, DEMO_LIGHT)) == bits(reference)).all()
    integers = np.arange(30, dtype=np.int64).reshape(10, 3)
    assert (
        bits(lighting.received_energy(integers, DEMO_LIGHT))
        == bits(lighting.received_energy(integers.astype(np.float32), DEMO_LIGHT))
    ).all()


@every_flavour
def test_an_empty_batch_gives_an_empty_array(flavour):
    module = FLAVOURS[flavour][0]
    result = module.diffused_energy(np.empty((0, 3), np.float32), (0, 0, 1), (1, 1, 1), DEMO_LIGHT)
    assert result.shape == (0, 3) and result.dtype == np.float32


@every_flavour
def test_float32_c_contiguous_points_are_not_copied(flavour):
    module = FLAVOURS[flavour][0]
    points = np.random.default_rng(1).uniform(-5, 5, size=(400_000, 3)).astype(np.float32)
    out = np.empty_like(points)
    tracemalloc.start()
    try:
        module.diffused_energy(points, (0, 0, 1), (1, 1, 1), DEMO_LIGHT, out=out)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < points.nbytes // 10


# --- out= -----------------------------------------------------------------------


@every_flavour
def test_out_is_filled_and_returned(flavour):
    module = FLAVOURS[flavour][0]
    points = INPUTS[:50, 0:3].copy()
    expected = module.received_energy(points, DEMO_LIGHT)
    out = np.full((50, 3), np.nan, dtype=np.float32)
    assert module.received_energy(points, DEMO_LIGHT, out=out) is out
    assert (bits(out) == bits(expected)).all()


@every_flavour
def test_out_may_be_the_points_array_itself(flavour):
    module = FLAVOURS[flavour][0]
    points = INPUTS[:, 0:3].copy()
    expected = module.diffused_energy(points, INPUTS[:, 3:6], INPUTS[:, 6:9], DEMO_LIGHT)
    result = module.diffused_energy(points, INPUTS[:, 3:6], INPUTS[:, 6:9], DEMO_LIGHT, out=points)
    assert result is points
    nan = np.isnan(expected)
    assert (np.isnan(points) == nan).all() and (bits(points)[~nan] == bits(expected)[~nan]).all()


# --- errors -----------------------------------------------------------------------

POINTS = np.zeros((4, 3), dtype=np.float32)


@pytest.mark.parametrize(
    "points, error, words",
    [
        (np.zeros((4, 2)), ValueError, "(N, 3)"),
        (np.zeros(4), ValueError, "(N, 3)"),  # shape (3,) is one point; (4,) is neither
        (np.zeros(()), ValueError, "(N, 3)"),
        (np.zeros((2, 3, 2)), ValueError, "(N, 3)"),
        (np.zeros((4, 3), dtype=np.complex64), TypeError, "real"),
        (np.zeros((4, 3), dtype=bool), TypeError, "real"),
        (np.array([["a", "b", "c"]]), TypeError, "real"),
        ([[1, 2, 3], [4, 5]], TypeError, "(N, 3)"),
        ("abc", TypeError, "(N, 3)"),
    ],
)
@every_flavour
def test_bad_points_are_refused(points, error, words, flavour):
    module = FLAVOURS[flavour][0]
    with pytest.raises(error, match=r"points.*" + words.replace("(", r"\(").replace(")", r"\)")):
        module.received_energy(points, DEMO_LIGHT)


@every_flavour
def test_mismatched_lengths_name_the_expected_shape(flavour):
    module = FLAVOURS[flavour][0]
    with pytest.raises(ValueError, match=r"normal must have shape \(4, 3\)"):
        module.diffused_energy(POINTS, np.zeros((5, 3)), (1, 1, 1), DEMO_LIGHT)
    with pytest.raises(ValueError, match=r"reflectance must have shape \(4, 3\)"):
        module.diffused_energy(POINTS, (0, 0, 1), np.zeros((3, 3)), DEMO_LIGHT)
    with pytest.raises(ValueError, match=r"out must have shape \(4, 3\)"):
        module.received_energy(POINTS, DEMO_LIGHT, out=np.zeros((5, 3), np.float32))


@pytest.mark.parametrize(
    "out, error, words",
    [
        (np.zeros((4, 3)), TypeError, "float32"),
        ([[0.0] * 3] * 4, TypeError, "numpy array"),
        (np.zeros((4, 2), np.float32), ValueError, r"shape \(4, 3\), the points' shape"),
        (np.zeros((8, 3), np.float32)[::2], ValueError, "C-contiguous"),
        (np.zeros((4, 3), np.float32).T.copy().T, ValueError, "C-contiguous"),
    ],
)
@every_flavour
def test_bad_out_is_refused(out, error, words, flavour):
    module = FLAVOURS[flavour][0]
    with pytest.raises(error, match="out.*" + words):
        module.received_energy(POINTS, DEMO_LIGHT, out=out)


@every_flavour
def test_read_only_out_is_refused(flavour):
    module = FLAVOURS[flavour][0]
    out = np.zeros((4, 3), np.float32)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="writeable"):
        module.received_energy(POINTS, DEMO_LIGHT, out=out)


@every_flavour
def test_overlapping_out_is_refused_and_nothing_is_written(flavour):
    module = FLAVOURS[flavour][0]
    buffer = np.arange(3 * 9, dtype=np.float32).reshape(9, 3)
    before = buffer.copy()
    with pytest.raises(ValueError, match="overlaps"):
        module.received_energy(buffer[:8], DEMO_LIGHT, out=buffer[1:])
    with pytest.raises(ValueError, match="overlaps"):
        module.diffused_energy(buffer[:4], buffer[4:8], (1, 1, 1), DEMO_LIGHT, out=buffer[5:9])
    assert (bits(buffer) == bits(before)).all()


def test_bad_records_are_refused():
    with pytest.raises(TypeError, match="PointLight"):
        lighting.received_energy((1, 2, 3), ((0, 0, 0), 1, 1, 1, 1))
    with pytest.raises(ValueError, match="3 components"):
        lighting.light_distance((1, 2), DEMO_LIGHT)
    with pytest.raises(TypeError, match="real number"):
        lighting.dot_product((1, 2, "3"), (1, 1, 1))
    with pytest.raises(TypeError, match="real number"):
        lighting.dot_product((1, 2, 3j), (1, 1, 1))
    with pytest.raises(TypeError, match="Vector3"):
        lighting.PointLight(None, 1, 1, 1, 1)
    with pytest.raises(TypeError, match="out="):
        lighting.received_energy((1, 2, 3), DEMO_LIGHT, out=np.zeros((1, 3), np.float32))


# --- threads -----------------------------------------------------------------------


def test_two_threads_shade_at_once_with_the_bits_of_one():
    rng = np.random.default_rng(3)
    points = rng.uniform(-8, 8, size=(300_000, 3)).astype(np.float32)
    expected = lighting.diffused_energy(points, (0, 0, 1), (0.5, 0.5, 1), DEMO_LIGHT)
    results = [None, None]

    def shade(slot):
        for _ in range(3):
            results[slot] = lighting.diffused_energy(points, (0, 0, 1), (0.5, 0.5, 1), DEMO_LIGHT)

    threads = [threading.Thread(target=shade, args=(slot,)) for slot in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        assert (bits(result) == bits(expected)).all()


def test_the_gil_is_released_during_a_batch():
    points = np.random.default_rng(5).uniform(-8, 8, size=(3_000_000, 3)).astype(np.float32)
    out = np.empty_like(points)
    span = {}

    def shade():
        span["start"] = time.perf_counter()
        lighting.received_energy(points, DEMO_LIGHT, out=out)
        span["end"] = time.perf_counter()

    thread = threading.Thread(target=shade)
    ticks = []
    thread.start()
    while thread.is_alive():
        ticks.append(time.perf_counter())
    thread.join()
    duration = span["end"] - span["start"]
    inside = [t for t in ticks if span["start"] < t < span["end"]]
    if duration < 0.02:
        pytest.skip("batch too short to observe (%.1f ms)" % (duration * 1e3))
    # Holding the GIL, the batch would leave this thread not a single tick inside it.
    gaps = np.diff([span["start"]] + inside + [span["end"]])
    assert len(inside) > 0 and gaps.max() < 0.75 * duration


# --- documentation ------------------------------------------------------------------


def test_help_documents_every_public_name():
    text = pydoc.render_doc(lighting, renderer=pydoc.plaintext)
    for name in lighting.__all__:
        item = getattr(lighting, name)
        assert item.__doc__ and len(item.__doc__.strip()) > 40, name
        assert name in text
    assert "received_energy(points, light, *, out=None)" in text
    assert "diffused_energy(points, normal, reflectance, light, *, out=None)" in text
    assert "numpy.float32" in text
