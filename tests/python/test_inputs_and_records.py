"""The Python package's handling of its inputs and records: memory
exhaustion, non-real values, the shape rule and broadcasting, and records
that pickle, copy, compare and print as Python that rebuilds them.
"""

import copy
import inspect
import pickle
import subprocess
import sys
import textwrap
import warnings
from fractions import Fraction

import numpy as np
import pytest

import lighting

LIGHT = lighting.PointLight((-1.0, 2.0, 4.0), 1.0, 0.5, 0.5, 5.0)


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def same_bits(a, b):
    return bits(a).shape == bits(b).shape and (bits(a) == bits(b)).all()


# --- memory -----------------------------------------------------------------------

# Runs in a child whose address space is capped just above what its arrays
# already take, so that every copy or result a call needs fails to allocate.
MEMORY_CHILD = textwrap.dedent(
    """
    import resource
    import numpy as np
    import lighting

    def address_space():
        with open("/proc/self/status") as status:
            line = next(l for l in status if l.startswith("VmSize:"))
        return int(line.split()[1]) * 1024

    light = lighting.PointLight((-1.0, 2.0, 4.0), 1.0, 0.5, 0.5, 5.0)
    rows = 10_000_000  # 120 MB as float32, 240 MB as float64, never touched
    points64 = np.zeros((rows, 3))
    points32 = np.zeros((rows, 3), np.float32)
    normals64 = np.zeros((rows, 3))
    normals32 = np.zeros((rows, 3), np.float32)
    out = np.zeros((rows, 3), np.float32)
    limit = address_space() + 48 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    calls = {
        "float32 copy of the points": lambda: lighting.received_energy(points64, light),
        "float32 copy of the normals": lambda: lighting.diffused_energy(
            points32, normals64, (1, 1, 1), light, out=out),
        "the result": lambda: lighting.received_energy(points32, light),
        "one reflectance spread over every point": lambda: lighting.diffused_energy(
            points32, normals32, (1, 1, 1), light, out=out),
        "the portable result": lambda: lighting.portable.received_energy(points32, light),
    }
    for what, call in calls.items():
        try:
            call()
            print(what, "allocated")
        except MemoryError:
            print(what, "MemoryError")
    small = lighting.received_energy(np.ones((2, 3)), light)  # the process goes on
    print("then", small.shape)
    """
)


def test_an_allocation_that_fails_raises_memory_error_and_the_process_goes_on():
    child = subprocess.run([sys.executable, "-c", MEMORY_CHILD], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "float32 copy of the points MemoryError",
        "float32 copy of the normals MemoryError",
        "the result MemoryError",
        "one reflectance spread over every point MemoryError",
        "the portable result MemoryError",
        "then (2, 3)",
    ]


# --- non-real values ------------------------------------------------------------------

POINTS = np.array([[1.0, 2.0, 0.0], [3.0, -1.0, 2.0]], np.float32)


@pytest.mark.parametrize(
    "call",
    [
        lambda: lighting.diffused_energy(POINTS, np.array([0, 0, 1 + 5j]), (1, 1, 1), LIGHT),
        lambda: lighting.diffused_energy(POINTS, (0, 0, 1), [0.5, np.complex128(1), 1], LIGHT),
        lambda: lighting.diffused_energy((1, 2, 0), np.array([0, 0, 1 + 5j]), (1, 1, 1), LIGHT),
        lambda: lighting.Vector3(np.complex128(1 + 1j), 0, 0),
        lambda: lighting.Vector3(1j),
        lambda: lighting.PointLight((0, 0, 0), 1, 1, 1, np.complex64(2)),
        lambda: lighting.dot_product((1, 2, 3), np.ones(3, complex)),
        # Truth values are not numbers here, as bool arrays of points are not.
        lambda: lighting.Vector3(True, 0, 0),
        lambda: lighting.Vector3(0, np.bool_(True), 0),
        lambda: lighting.diffused_energy(POINTS, (0, 0, True), (1, 1, 1), LIGHT),
        lambda: lighting.diffused_energy(POINTS, np.array([False, False, True]), (1, 1, 1), LIGHT),
        lambda: lighting.diffused_energy((1, 2, 0), (0, 0, 1), (1, 1, True), LIGHT),
        lambda: lighting.received_energy(np.array([True, False, True]), LIGHT),
        lambda: lighting.PointLight((0, 0, False), 1, 1, 1, 1),
        lambda: setattr(lighting.Vector3(), "x", np.complex128(1)),
        lambda: setattr(LIGHT, "intensity", True),
    ],
)
def test_complex_and_bool_values_raise_type_error_without_a_warning(call):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a ComplexWarning would fail the test
        with pytest.raises(TypeError, match="real number"):
            call()


def test_every_other_real_number_is_rounded_as_numpy_float32_rounds_it():
    third = lighting.Vector3(Fraction(1, 3), np.float16(0.1), np.uint8(200))
    assert same_bits(tuple(third), [np.float32(1 / 3), np.float32(np.float16(0.1)), 200])
    assert lighting.Vector3(2**70).x == 2.0**70
    with pytest.raises(OverflowError):
        lighting.Vector3(10**400)


# --- shapes ---------------------------------------------------------------------------


def test_points_of_any_leading_shape_give_a_result_of_that_shape():
    rng = np.random.default_rng(11)
    grid = rng.uniform(-6, 6, size=(5, 7, 3)).astype(np.float32)
    normals = rng.uniform(-1, 1, size=(5, 7, 3))
    flat_received = lighting.received_energy(grid.reshape(-1, 3), LIGHT)
    received = lighting.received_energy(grid, LIGHT)
    assert received.shape == (5, 7, 3) and received.dtype == np.float32
    assert same_bits(received.reshape(-1, 3), flat_received)
    # Other layouts of the same grid: a strided view, a float64 copy, nested lists.
    wide = np.zeros((5, 14, 3), np.float32)
    wide[:, ::2] = grid
    for variant in (wide[:, ::2], grid.astype(np.float64), grid.tolist()):
        assert same_bits(lighting.received_energy(variant, LIGHT), received)
    out = np.empty((5, 7, 3), np.float32)
    assert lighting.received_energy(grid, LIGHT, out=out) is out and same_bits(out, received)
    with pytest.raises(ValueError, match=r"out must have shape \(5, 7, 3\)"):
        lighting.received_energy(grid, LIGHT, out=np.empty((35, 3), np.float32))
    # Per point normals of the grid's shape, against one call per point.
    diffused = lighting.diffused_energy(grid, normals, (0.5, 0.5, 1), LIGHT)
    scalar = [
        tuple(lighting.diffused_energy(tuple(p), tuple(n), (0.5, 0.5, 1), LIGHT))
        for p, n in zip(grid.reshape(-1, 3).tolist(), normals.astype(np.float32).reshape(-1, 3).tolist())
    ]
    assert same_bits(diffused.reshape(-1, 3), scalar)
    empty = lighting.diffused_energy(np.empty((0, 4, 3)), (0, 0, 1), (1, 1, 1), LIGHT)
    assert empty.shape == (0, 4, 3)


def test_a_triple_or_a_smaller_array_broadcasts_against_the_points():
    rng = np.random.default_rng(12)
    grid = rng.uniform(-6, 6, size=(4, 6, 3)).astype(np.float32)
    row_of_normals = rng.uniform(-1, 1, size=(6, 3)).astype(np.float32)
    one_plane = lighting.diffused_energy(grid, (0, 0, 1), (0.5, 0.25, 1), LIGHT)
    for normal in (np.array([0, 0, 1]), np.array([[0.0, 0.0, 1.0]]), [[[0, 0, 1]]], lighting.Vector3(0, 0, 1)):
        for reflectance in ((0.5, 0.25, 1), np.array([[0.5, 0.25, 1.0]], np.float32)):
            assert same_bits(lighting.diffused_energy(grid, normal, reflectance, LIGHT), one_plane)
    # A (6, 3) array broadcasts along the grid's first axis, as numpy would.
    spread = lighting.diffused_energy(grid, row_of_normals, (1, 1, 1), LIGHT)
    full = lighting.diffused_energy(grid, np.broadcast_to(row_of_normals, grid.shape).copy(), (1, 1, 1), LIGHT)
    assert same_bits(spread, full)
    with pytest.raises(ValueError, match=r"normal must have shape \(4, 6, 3\)"):
        lighting.diffused_energy(grid, np.zeros((5, 3)), (1, 1, 1), LIGHT)
    with pytest.raises(ValueError, match=r"reflectance must have shape \(4, 6, 3\)"):
        # Broadcasting would make the result larger than the points.
        lighting.diffused_energy(grid, (0, 0, 1), np.ones((2, 4, 6, 3)), LIGHT)


def test_shape_three_is_one_point_whatever_holds_it():
    expected = lighting.received_energy(lighting.Vector3(1, 2, 0), LIGHT)
    zero_d = [np.array(1.0), np.array(2, np.uint8), np.array(0.0, np.float32)]  # each of shape ()
    for point in ((1, 2, 0), [1.0, 2.0, 0.0], np.array([1.0, 2.0, 0.0]), np.array([1, 2, 0], np.int16), zero_d):
        result = lighting.received_energy(point, LIGHT)
        assert isinstance(result, lighting.Vector3) and same_bits(tuple(result), tuple(expected))
    batch = lighting.received_energy(np.array([[1.0, 2.0, 0.0]]), LIGHT)
    assert batch.shape == (1, 3) and same_bits(batch[0], tuple(expected))
    assert isinstance(lighting.portable.received_energy(np.array([1.0, 2.0, 0.0]), LIGHT), lighting.Vector3)
    with pytest.raises(TypeError, match="real number"):
        lighting.received_energy([np.array(1.0), np.array(True), 0], LIGHT)
    with pytest.raises(TypeError, match="Vector3 or a sequence"):
        lighting.light_distance(np.array(1.0), LIGHT)


# --- records ----------------------------------------------------------------------------

SPECIAL = [-0.0, 1e-45, 0.1, float("inf"), -float("inf"), 3.4028234663852886e38]


def light_bits(light):
    return bits([*light.position, light.r, light.g, light.b, light.intensity])


def test_records_pickle_copy_compare_and_print_as_python_that_rebuilds_them():
    vector = lighting.Vector3(*SPECIAL[:3])
    light = lighting.PointLight(SPECIAL[3:6], -0.0, 1e-45, 0.1, float("nan"))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert same_bits(tuple(pickle.loads(pickle.dumps(vector, protocol))), tuple(vector))
        again = pickle.loads(pickle.dumps(light, protocol))
        assert type(again) is lighting.PointLight
        assert (light_bits(again) == light_bits(light)).all()
    # Copies are new records with the same bits; a deep copy's position is its own.
    for duplicate in (copy.copy(light), copy.deepcopy(light)):
        assert duplicate is not light and (light_bits(duplicate) == light_bits(light)).all()
    deep = copy.deepcopy(light)
    deep.position.x = 7
    assert light.position.x == float("inf")
    # Value equality, field by field, as floats compare.
    demo = lambda: lighting.PointLight((-1.0, 2.0, 4.0), 1.0, 0.5, 0.5, 5.0)
    assert demo() == demo() and not demo() != demo()
    assert demo() == lighting.PointLight(lighting.Vector3(-1, 2, 4), 1, 0.5, 0.5, 5)
    for field, value in (("r", 0.75), ("intensity", -5.0), ("position", (-1, 2, 4.5))):
        other = demo()
        setattr(other, field, value)
        assert other != demo()
    assert lighting.Vector3(0, 0, -0.0) == lighting.Vector3(0, 0, 0)
    assert light != light  # its intensity is NaN
    assert lighting.Vector3(1, 2, 3) != (1, 2, 3)
    with pytest.raises(TypeError):
        hash(demo())  # mutable records
    # repr is Python that gives the same bits back, inf included.
    names = {"Vector3": lighting.Vector3, "PointLight": lighting.PointLight}
    assert same_bits(tuple(eval(repr(vector), names)), tuple(vector))
    rebuilt = eval(repr(light), names)
    assert (light_bits(rebuilt)[:7] == light_bits(light)[:7]).all() and np.isnan(rebuilt.intensity)
    assert repr(lighting.Vector3(0.1, float("inf"), -0.0)) == "Vector3(0.10000000149011612, float('inf'), -0.0)"


def test_the_functions_pickle_by_name_for_tasks_sent_to_other_processes():
    for module in (lighting, lighting.portable):
        for name in module.__all__:
            item = getattr(module, name)
            if callable(item) and not isinstance(item, type):
                assert pickle.loads(pickle.dumps(item)) is item, (module.__name__, name)
    assert str(inspect.signature(lighting.portable.diffused_energy)) == "(points, normal, reflectance, light, *, out=None)"
