"""The portable flavour's expected results, with no libm at all.

The five operations in Python's own IEEE double arithmetic (+, -, * and /
are correctly rounded on every platform Python runs on), with the root as
the correctly rounded square root computed with integers (math.isqrt) rather
than by any C library's sqrt or pow, and float32 rounding done by numpy's
conversion. Division goes through ieee_div because Python raises where IEEE
arithmetic gives an infinity or a NaN.
"""

import math

import numpy as np


def f32(x):
    with np.errstate(over="ignore"):  # an overflow to infinity is a result like any other
        return float(np.float32(x))


def ieee_div(a, b):
    try:
        return a / b
    except ZeroDivisionError:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, math.copysign(1.0, a) * math.copysign(1.0, b))


def correctly_rounded_root(s):
    """sqrt(s) rounded to the nearest double, ties to even, from integers."""
    if math.isnan(s) or s == 0.0 or s == math.inf:
        return s
    if s < 0.0:
        return math.nan
    numerator, denominator = s.as_integer_ratio()  # the denominator is a power of two
    # s * 4^k is an integer of at least 112 bits, so its integer root has more
    # than 53 bits and the bits below them decide the rounding.
    k = (denominator.bit_length() + 113) // 2
    scaled = numerator * 4**k // denominator
    root = math.isqrt(scaled)
    inexact = root * root != scaled
    drop = root.bit_length() - 53
    kept, rest, half = root >> drop, root & ((1 << drop) - 1), 1 << (drop - 1)
    if rest > half or (rest == half and (inexact or kept & 1)):
        kept += 1
    return math.ldexp(kept, drop - k)


def light_distance(p, light):
    dx, dy, dz = p[0] - light[0], p[1] - light[1], p[2] - light[2]
    return f32(correctly_rounded_root((dx * dx + dy * dy) + dz * dz))


def light_direction(p, light):
    dx, dy, dz = light[0] - p[0], light[1] - p[1], light[2] - p[2]
    length = correctly_rounded_root((dx * dx + dy * dy) + dz * dz)
    return [f32(ieee_div(dx, length)), f32(ieee_div(dy, length)), f32(ieee_div(dz, length))]


def dot_product(a, b):
    return f32((a[1] * b[1] + a[0] * b[0]) + a[2] * b[2])


def received_energy(p, light):
    d = light_distance(p, light)
    falloff = f32(ieee_div(ieee_div(1.0, d), d))
    return [f32((falloff * light[6]) * light[3 + c]) for c in range(3)]


def diffused_energy(p, normal, reflectance, light):
    received = received_energy(p, light)
    cosine = dot_product(light_direction(p, light), normal)
    if cosine < 0.0:
        cosine = 0.0
    return [f32((received[c] * cosine) * reflectance[c]) for c in range(3)]


def outputs(inputs):
    """The 11 outputs of a golden vector's 16 inputs, as float32 bits."""
    case = [float(v) for v in inputs]
    p, n, refl, light = case[0:3], case[3:6], case[6:9], case[9:16]
    values = (
        [light_distance(p, light)]
        + light_direction(p, light)
        + [dot_product(n, refl)]
        + received_energy(p, light)
        + diffused_energy(p, n, refl, light)
    )
    return np.array(values, dtype=np.float32).view(np.uint32)
