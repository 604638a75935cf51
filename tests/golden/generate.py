#!/usr/bin/env python3
"""Writes the golden vectors that the library's results are checked against.

An independent model of the five lighting operations, in Python's own IEEE
double arithmetic: a Python float is a double, ctypes.c_float(x).value rounds
a double to single precision the way C does, and math.pow is the C library's
power function. Python raises on a division by zero where IEEE arithmetic
gives an infinity or NaN, so division goes through ieee_div.

Each data line is a case name followed by 27 single-precision values as
8-digit hex bit patterns:
  inputs   point(3) normal(3) reflectance(3) light position(3) r g b intensity
  outputs  light_distance(point, light)
           light_direction(point, light)                        (3)
           dot_product(normal, reflectance)
           received_energy(point, light)                        (3)
           diffused_energy(point, normal, reflectance, light)   (3)
A NaN output is written as 7fc00000; its sign and payload are not specified.

Usage: generate.py [OUTPUT]   (default: vectors.txt beside this script)
The generator is deterministic: the same C library gives the same file.
"""

import ctypes
import math
import os
import random
import struct
import sys
from fractions import Fraction

SEED = 20261208
INF = math.inf
NAN = math.nan


def f32(x):
    """Rounds a double to single precision, as a C conversion does."""
    return ctypes.c_float(x).value


def from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def to_bits(x):
    if math.isnan(x):
        return 0x7FC00000
    return struct.unpack("<I", struct.pack("<f", x))[0]


def ieee_div(a, b):
    try:
        return a / b
    except ZeroDivisionError:
        if math.isnan(a) or a == 0.0:
            return NAN
        return math.copysign(INF, math.copysign(1.0, a) * math.copysign(1.0, b))


# The model. Arguments are floats already rounded to single precision.

def light_distance(p, light):
    dx, dy, dz = p[0] - light[0], p[1] - light[1], p[2] - light[2]
    return f32(math.pow((dx * dx + dy * dy) + dz * dz, 0.5))


def light_direction(p, light):
    dx, dy, dz = light[0] - p[0], light[1] - p[1], light[2] - p[2]
    length = math.pow((dx * dx + dy * dy) + dz * dz, 0.5)
    return [f32(ieee_div(dx, length)), f32(ieee_div(dy, length)), f32(ieee_div(dz, length))]


def dot_product(a, b):
    return f32((a[1] * b[1] + a[0] * b[0]) + a[2] * b[2])


def received_energy(p, light):
    d = light_distance(p, light)
    falloff = f32(ieee_div(ieee_div(1.0, d), d))
    intensity = light[6]
    return [f32((falloff * intensity) * light[3 + c]) for c in range(3)]


def diffused_energy(p, normal, reflectance, light):
    received = received_energy(p, light)
    u = light_direction(p, light)
    cosine = dot_product(u, normal)
    if cosine < 0.0:
        cosine = 0.0
    return [f32((received[c] * cosine) * reflectance[c]) for c in range(3)]


def outputs(case):
    p, n, refl, light = case[0:3], case[3:6], case[6:9], case[9:16]
    return ([light_distance(p, light)] + light_direction(p, light) + [dot_product(n, refl)] +
            received_energy(p, light) + diffused_energy(p, n, refl, light))


# The inputs.

SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 5.0, -5.0,
            from_bits(0x00000001), from_bits(0x80000001),   # smallest subnormals
            from_bits(0x007FFFFF), from_bits(0x807FFFFF),   # largest subnormals
            from_bits(0x00800000), from_bits(0x80800000),   # smallest normals
            from_bits(0x7F7FFFFF), from_bits(0xFF7FFFFF),   # largest finite
            INF, -INF, NAN, 2.0 ** -24, 1.0 + 2.0 ** -23, 1e-20, 1e20, 1.8446744e19]


def scene(point, normal, reflectance, position, colour, intensity):
    return [f32(v) for v in (*point, *normal, *reflectance, *position, *colour, intensity)]


def worked_examples():
    base = dict(point=(1, 2, 0), normal=(0, 0, 1), reflectance=(0.5, 0.5, 1),
                position=(-1, 2, 4), colour=(1, 0.5, 0.5), intensity=5)

    def variant(**changes):
        return scene(**{**base, **changes})

    yield "demo", variant()
    yield "negative_intensity", variant(intensity=-5)
    yield "zero_intensity", variant(intensity=0)
    yield "behind", variant(position=(-1, 2, -4))
    yield "behind_negative_intensity", variant(position=(-1, 2, -4), intensity=-5)
    yield "in_plane", variant(position=(-1, 2, 0))
    yield "in_plane_negative_zero_cosine", variant(point=(1, 0, 0), position=(-1, -0.0, -0.0))
    yield "at_light", variant(position=(1, 2, 0))
    yield "at_light_negative_colour", variant(position=(1, 2, 0), colour=(-1, 0, 0.5))
    yield "normal_length_two", variant(normal=(0, 0, 2))
    yield "zero_colour_channel", variant(colour=(1, 0, 0.5))
    yield "zero_reflectance_channel", variant(reflectance=(0.5, 0, 1))
    yield "infinite_reflectance_behind", variant(position=(-1, 2, -4), reflectance=(INF, 0.5, 1))
    yield "dot_rounds_once", variant(normal=(1, 1, 1), reflectance=(2.0 ** -24, 1, 2.0 ** -24))


def random_cases(rng, count):
    def uniform(lo, hi, n):
        return [rng.uniform(lo, hi) for _ in range(n)]

    def wide():
        return rng.choice((-1.0, 1.0)) * rng.random() * 2.0 ** rng.randint(-150, 128)

    def special_or(value):
        return rng.choice(SPECIALS) if rng.random() < 0.3 else value

    for _ in range(count):  # a small scene around the origin, exact-ish coordinates
        yield "small", scene([rng.randint(-16, 16) / 2 for _ in range(3)],
                             [rng.randint(-4, 4) / 4 for _ in range(3)],
                             [rng.randint(0, 8) / 8 for _ in range(3)],
                             [rng.randint(-16, 16) / 2 for _ in range(3)],
                             [rng.randint(0, 8) / 8 for _ in range(3)], rng.randint(-2, 20))
    for _ in range(count):
        yield "uniform", scene(uniform(-100, 100, 3), uniform(-1, 1, 3), uniform(0, 1, 3),
                               uniform(-100, 100, 3), uniform(0, 2, 3), rng.uniform(-10, 10))
    for _ in range(count):  # every binade, subnormals and overflow included
        yield "wide", [f32(wide()) for _ in range(16)]
    for _ in range(count):  # any bit pattern, NaN and infinities included
        yield "bits", [from_bits(rng.getrandbits(32)) for _ in range(16)]
    for _ in range(count):
        yield "special", [f32(special_or(rng.uniform(-10, 10))) for _ in range(16)]
    for _ in range(count // 4):  # subnormal offsets between point and light
        point = [from_bits(rng.getrandbits(23) | (rng.getrandbits(1) << 31)) for _ in range(3)]
        position = [from_bits(rng.getrandbits(23) | (rng.getrandbits(1) << 31)) for _ in range(3)]
        yield "subnormal", scene(point, uniform(-1, 1, 3), uniform(0, 1, 3), position,
                                 uniform(0, 1, 3), rng.uniform(0, 10))
    for _ in range(count // 4):  # the light exactly at the point
        point = uniform(-50, 50, 3)
        yield "at_light", scene(point, uniform(-1, 1, 3), uniform(-1, 1, 3), point,
                                [rng.choice((0.0, -0.0, 1.0, -1.0, 0.25)) for _ in range(3)],
                                rng.choice((0.0, -0.0, 5.0, -5.0, INF)))
    for _ in range(count // 4):  # light in the surface's plane or behind it
        point = uniform(-10, 10, 3)
        position = [point[0] + rng.uniform(-5, 5), point[1] + rng.uniform(-5, 5),
                    point[2] - rng.choice((0.0, rng.uniform(0, 5)))]
        yield "behind_or_in_plane", scene(point, (0, 0, rng.choice((1, -0.0, 2))),
                                          uniform(-1, 1, 3), position, uniform(-1, 1, 3),
                                          rng.uniform(-10, 10))


def order_sensitive_dots(rng, count):
    """Dot products whose bits change if the terms are summed in another order
    or in single precision: a reordered implementation cannot pass these."""
    def alternatives(a, b):
        x, y, z = a[0] * b[0], a[1] * b[1], a[2] * b[2]
        single = f32(f32(f32(a[1] * b[1]) + f32(a[0] * b[0])) + f32(a[2] * b[2]))
        return {f32((x + y) + z), f32(x + (y + z)), f32((x + z) + y), single}

    found = 0
    while found < count:
        scale = 2.0 ** rng.randint(-30, 30)
        a = [f32(rng.uniform(-1, 1) * scale ** rng.choice((0, 1))) for _ in range(3)]
        b = [f32(rng.uniform(-1, 1) * scale ** rng.choice((0, 1))) for _ in range(3)]
        if any(v != dot_product(a, b) for v in alternatives(a, b)):
            found += 1
            yield "dot_order", scene((0, 0, 0), a, b, (0, 0, 1), (1, 1, 1), 1)


def two_squares(r):
    """Some (p, q) with p*p + q*q == r, or None."""
    p = math.isqrt(r)
    while p * p * 2 >= r:
        q = math.isqrt(r - p * p)
        if q * q == r - p * p:
            return p, q
        p -= 1
    return None


def pow_witnesses(rng, count):
    """Distances where pow(s, 0.5) and a correctly rounded sqrt(s) round to
    different floats: a build that replaced pow by sqrt fails these.

    m is the midpoint between two floats near 2^26 and s = m*m + k for a small
    odd k, so sqrt(s) lies just inside a double rounding boundary next to m;
    s is split into three squares of floats so that it is the exact sum of the
    squared coordinate differences."""
    found = 0
    while found < count:
        m = 8 * rng.randint(2 ** 23, int(2 ** 23 * 1.4)) + 4
        k = rng.choice((-7, -5, -3, -1, 1, 3, 5, 7))
        s = m * m + k
        if f32(math.pow(s, 0.5)) == f32(math.sqrt(s)):
            continue
        split = two_squares(s - (m - 4) ** 2)
        if split is None:
            continue
        found += 1
        yield "pow_not_sqrt", scene((m - 4, split[0], split[1]), (0, 0, 1), (1, 1, 1),
                                    (0, 0, 0), (1, 1, 1), 1)


def fma_witnesses(rng, count):
    """Distances whose bits change if dx*dx + dy*dy is fused into one
    multiply-add, whichever product the compiler fuses.

    dy and dx are differences of floats with more than 26 significant bits, so
    their squares are inexact in double; dx is picked so that the exact sum of
    squares is m*m for a float midpoint m, where one rounding more or less in
    the sum moves the square root across the midpoint. Fraction gives the
    exact values; float(Fraction) rounds them correctly."""
    found = 0
    while found < count:
        m = 1 + (2 * rng.randrange(2 ** 22) + 1) * 2.0 ** -24
        dy_point, dy_light = f32(rng.uniform(0.25, 0.5)), f32(rng.uniform(0, 2 ** -26))
        dy = dy_point - dy_light
        target = Fraction(m) ** 2 - Fraction(dy) ** 2
        dx = float(Fraction(math.isqrt(int(target * 2 ** 120)), 2 ** 60))
        dx_point = f32(dx)
        dx_light = f32(dx_point - dx)
        if dx_point - dx_light != dx:
            continue
        separate = dx * dx + dy * dy
        fused = [float(Fraction(dx) ** 2 + Fraction(dy * dy)),
                 float(Fraction(dy) ** 2 + Fraction(dx * dx))]
        if all(f32(math.pow(s, 0.5)) != f32(math.pow(separate, 0.5)) for s in fused):
            found += 1
            yield "fma_not_separate", scene((dx_point, dy_point, 0), (0, 0, 1), (1, 1, 1),
                                            (dx_light, dy_light, 0), (1, 1, 1), 1)


def all_cases():
    rng = random.Random(SEED)
    yield from worked_examples()
    yield from random_cases(rng, 1000)
    yield from order_sensitive_dots(rng, 500)
    yield from pow_witnesses(rng, 40)
    yield from fma_witnesses(rng, 40)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "vectors.txt")
    lines = ["# Golden vectors for the lighting library, written by generate.py; do not edit.",
             "# name, then 16 inputs and 11 outputs as float bit patterns (see generate.py)."]
    for name, case in all_cases():
        words = [to_bits(v) for v in case] + [to_bits(v) for v in outputs(case)]
        lines.append(name + " " + " ".join(f"{w:08x}" for w in words))
    with open(path, "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
