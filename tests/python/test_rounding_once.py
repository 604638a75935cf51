"""Every number reaches float32 in one rounding, the same one in a record, a
scalar call and a batch; and a record's repr and pickle keep every bit.

The values sit on and next to float32 midpoints after a first rounding to
double: integers past 2**53, decimals written as fractions, long doubles.
"""

import copy
import pickle
from fractions import Fraction

import numpy as np
import pytest

import lighting

LIGHT = lighting.PointLight((0, 0, 0), 1, 1, 1, 1)


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def nearest_float32(value):
    """The float32 nearest to the exact value, ties to even bits, found among
    the neighbours of the double's float32 (which may be one step off)."""
    if isinstance(value, float) and value == 0:
        return np.float32(value)  # the fraction would lose the sign
    exact = Fraction(value)
    with np.errstate(over="ignore"):
        guess = np.float32(float(exact))
        candidates = [np.nextafter(guess, np.float32(-np.inf)), guess, np.nextafter(guess, np.float32(np.inf))]
    finite = [c for c in candidates if np.isfinite(c)]
    best = min(finite, key=lambda c: (abs(Fraction(float(c)) - exact), int(bits(c)) & 1))
    largest = Fraction(float(np.finfo(np.float32).max))
    if abs(exact) >= largest + Fraction(2) ** 103:  # half a step past the largest float
        return np.float32(np.inf) if exact > 0 else np.float32(-np.inf)
    if best == 0 and exact < 0:
        return np.float32(-0.0)
    return best


def midpoint_integers():
    values = []
    for k in (30, 53, 54, 60, 62, 63, 64, 70, 100, 127):
        for odd in (1, 3):  # the tie goes down to even, then up to even
            middle = 2**k + odd * 2 ** (k - 24)
            values += [middle - 1, middle, middle + 1, -middle - 1, -middle, -middle + 1]
    return values + [2**60 + 2**36 + 1, 2**128 - 2**103, 2**128 - 2**103 - 1, 2**1000, -(2**1000)]


DECIMALS = [
    Fraction("1.000000059604644775390625"),  # 1 + 2**-24, a tie: down to 1
    Fraction("1.000000059604644775390626"),
    Fraction("1.000000059604644775390624"),
    Fraction("1.0000000596046448"),  # as a double exactly the tie, as a decimal above it
    Fraction("-3.4028235677973366e38"),  # the overflow threshold's neighbourhood
    Fraction("3.4028235677973362e38"),
    Fraction(1, 2**150),
    Fraction(1, 2**150) + Fraction(1, 2**200),
    Fraction(3, 2**150),
    Fraction(-1, 2**150),
    Fraction(1, 3),
]

VALUES = midpoint_integers() + DECIMALS + [1 + 2.0**-24, np.nextafter(1 + 2.0**-24, 2), -0.0]


def test_the_reference_rounds_the_known_cases():
    assert nearest_float32(2**60 + 2**36 + 1) == np.float32(2.0**60 + 2.0**37)
    assert nearest_float32(Fraction("1.0000000596046448")) == np.float32(1 + 2.0**-23)
    assert bits(nearest_float32(Fraction(-1, 2**150))) == 0x80000000


@pytest.mark.parametrize("value", VALUES, ids=str)
def test_records_and_fields_round_once(value):
    expected = bits(nearest_float32(value))
    assert bits(lighting.Vector3(value, 0, 0).x) == expected
    vector = lighting.Vector3()
    vector.z = value
    assert bits(vector.z) == expected
    light = lighting.PointLight((0, value, 0), value, 1, 1, value)
    assert bits([light.position.y, light.r, light.intensity]).tolist() == [expected] * 3
    if nearest_float32(value) != 0:  # +0 + -0 is +0
        assert bits(lighting.dot_product((value, 0, 0), (1, 0, 0))) == expected


@pytest.mark.parametrize("value", VALUES, ids=str)
def test_scalar_calls_and_batches_round_the_same_way(value):
    expected = bits(nearest_float32(value)).view(np.float32)
    point = lighting.Vector3(float(expected), 1, 2)
    single = bits(tuple(lighting.received_energy([value, 1, 2], LIGHT)))
    assert (single == bits(tuple(lighting.received_energy(point, LIGHT)))).all()
    reference = lighting.received_energy(np.array([[expected, 1, 2]], dtype=np.float32), LIGHT)
    for batch in ([[value, 1, 2]], ((value, 1, 2),), [[[value, 1, 2]]], [np.array([1, 1, 2]), (value, 1, 2)]):
        result = lighting.received_energy(batch, LIGHT)
        assert (bits(result.reshape(-1, 3)[-1]) == single).all(), batch
        assert (bits(result.reshape(-1, 3)[-1]) == bits(reference[0])).all()
    points = np.zeros((2, 3), dtype=np.float32) + 1
    per_point = lighting.diffused_energy(points, (0, 0, 1), [[value, 1, 1], [1, 1, value]], LIGHT)
    spread = np.array([[expected, 1, 1], [1, 1, expected]], dtype=np.float32)
    assert (bits(per_point) == bits(lighting.diffused_energy(points, (0, 0, 1), spread, LIGHT))).all()


@pytest.mark.parametrize("dtype", [np.int64, np.uint64, np.int32, np.float64, np.longdouble])
def test_numpy_scalars_and_arrays_round_as_numpy_casts_them(dtype):
    info = np.iinfo(dtype) if np.issubdtype(dtype, np.integer) else None
    values = [v for v in midpoint_integers() if info is None or info.min <= v <= info.max]
    for value in values[:24]:
        scalar = dtype(value) if info is not None else dtype(float(value))
        expected = bits(np.float32(scalar))
        assert bits(lighting.Vector3(scalar).x) == expected
        assert bits(lighting.Vector3(np.array(scalar)).x) == expected
        batch = lighting.received_energy(np.array([[scalar, 1, 2]], dtype=dtype), LIGHT)
        assert (bits(batch[0]) == bits(tuple(lighting.received_energy((scalar, 1, 2), LIGHT)))).all()
    if info is not None:
        middle = 2**60 + 2**36 + 1 if info.max > 2**60 else 2**30 + 2**6 + 1
        assert bits(lighting.Vector3(dtype(middle)).x) == bits(nearest_float32(middle))


@pytest.mark.skipif(np.finfo(np.longdouble).nmant <= 52, reason="long double is double here")
def test_long_doubles_round_once():
    one, step = np.longdouble(1), np.longdouble(2) ** -24
    tiny = np.longdouble(2) ** -60
    for value, expected in ((one + step + tiny, 1 + 2.0**-23), (one + step, 1.0), (one + step - tiny, 1.0)):
        assert lighting.Vector3(value).x == expected
        assert lighting.received_energy(np.array([[value, 0, 0]]), LIGHT)[0, 0] == lighting.received_energy(
            (expected, 0, 0), LIGHT
        ).x
        assert lighting.received_energy([[value, 0, 0]], LIGHT)[0, 0] == lighting.received_energy(
            [value, 0, 0], LIGHT
        ).x


def test_integers_too_large_for_a_double_raise_overflow_error_as_float_does():
    for value in (2**1024, -(10**400), Fraction(10**400, 3)):
        with pytest.raises(OverflowError):
            lighting.Vector3(value)
        with pytest.raises(OverflowError):
            lighting.received_energy([[value, 0, 0]], LIGHT)


def test_nested_sequences_that_are_not_arrays_of_numbers_are_refused():
    for bad, words in (
        ([[1, 2, 3], [4, 5]], "different lengths"),
        ([[1, 2, 3], 4], "different lengths"),
        ([[1, 2, "3"]], "holding str"),
        ([[1, 2, None]], "holding NoneType"),
        ([[1, 2, True]], "holding bool"),
        ([[1, 2, 1j]], "holding complex"),
    ):
        with pytest.raises(TypeError, match="points must be an array of real numbers.*" + words):
            lighting.received_energy(bad, LIGHT)
    itself = []
    itself.append(itself)
    with pytest.raises(TypeError, match="32 axes"):
        lighting.received_energy(itself, LIGHT)


# --- repr and pickling keep every bit -------------------------------------------------

NAN_PATTERNS = [0x7FC00000, 0xFFC00123, 0x7F800001, 0xFFBFFFFF, 0x80000000, 0x00000001, 0x7F800000]


def scalar_bits(value):
    return int(np.asarray(value, dtype=np.float32).view(np.uint32))


def record_bits(record):
    # The fields come out as Python floats, which lose a signalling NaN's
    # quiet bit; pickle's own arguments hold the float32 bits.
    arguments = record.__reduce__()[1]
    if isinstance(record, lighting.PointLight):
        return np.array(record_bits(arguments[0]).tolist() + [scalar_bits(a) for a in arguments[1:]])
    return np.array([scalar_bits(a) for a in arguments])


@pytest.mark.parametrize("pattern", NAN_PATTERNS, ids=hex)
def test_repr_pickle_and_copies_rebuild_nan_payloads_and_signed_zeros(pattern):
    vector = lighting.Vector3.from_bits(pattern, 0x80000000, 0x3F800000)
    light = lighting.PointLight.from_bits((0x3F800000, pattern, 0), 0x80000000, pattern, 0x3E4CCCCD, pattern)
    assert record_bits(vector).tolist() == [pattern, 0x80000000, 0x3F800000]
    assert record_bits(light).tolist() == [0x3F800000, pattern, 0, 0x80000000, pattern, 0x3E4CCCCD, pattern]
    for record in (vector, light):
        names = {"Vector3": lighting.Vector3, "PointLight": lighting.PointLight}
        for rebuilt in (
            eval(repr(record), names),
            eval(repr(record), vars(lighting)),
            copy.copy(record),
            copy.deepcopy(record),
            *(pickle.loads(pickle.dumps(record, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)),
        ):
            assert type(rebuilt) is type(record)
            assert (record_bits(rebuilt) == record_bits(record)).all(), repr(rebuilt)


def test_repr_names_bits_only_when_a_field_is_a_nan():
    assert repr(lighting.Vector3.from_bits(0x7FC00000, 0x80000000, 1)) == (
        "Vector3.from_bits(0x7fc00000, 0x80000000, 0x00000001)"
    )
    assert repr(lighting.Vector3(-0.0, 1e-45, float("-inf"))) == "Vector3(-0.0, 1.401298464324817e-45, -float('inf'))"
    light = lighting.PointLight((1, 2, 3), 1, 1, 1, float("nan"))
    assert repr(light) == (
        "PointLight.from_bits((0x3f800000, 0x40000000, 0x40400000), 0x3f800000, 0x3f800000, 0x3f800000, 0x7fc00000)"
    )


def test_a_float32_nan_given_to_a_record_keeps_its_bits():
    signalling = np.array([0x7F800001, 0xFFC00123], dtype=np.uint32).view(np.float32)
    vector = lighting.Vector3(signalling[0], signalling[1], np.float32(-0.0))
    assert record_bits(vector).tolist() == [0x7F800001, 0xFFC00123, 0x80000000]
    assert record_bits(lighting.Vector3(*lighting.Vector3.from_bits(0, 0x80000000, 0))).tolist() == [0, 0x80000000, 0]


def test_from_bits_takes_only_float32_bit_patterns():
    for bad, error in ((-1, ValueError), (2**32, ValueError), (2**100, ValueError), (1.0, TypeError), (True, TypeError)):
        with pytest.raises(error, match="x must be a float32 bit pattern"):
            lighting.Vector3.from_bits(bad, 0, 0)
    with pytest.raises(ValueError, match="position must have 3 components"):
        lighting.PointLight.from_bits((0, 0), 0, 0, 0, 0)
    with pytest.raises(ValueError, match=r"position\[2\] must be a float32 bit pattern"):
        lighting.PointLight.from_bits((0, 0, -5), 0, 0, 0, 0)
