#!/usr/bin/env python3
"""Counts the outputs that differ between two platforms' runs of the one-hash
test, output by output.

Each run writes its default-flavour outputs with
    LIGHTING_DETERMINISM_OUT=FILE build/PRESET/tests/determinism_tests
(14 little-endian 32-bit words per case, NaNs as one word). Runs of different
lengths (qemu runs the first 2^18 cases) are compared over the shorter.

Usage: determinism_compare.py REFERENCE OTHER
"""

import sys
from array import array

OUTPUTS = ["light_distance", "light_direction.x", "light_direction.y", "light_direction.z",
           "dot_product", "received_energy.x", "received_energy.y", "received_energy.z",
           "diffused_energy.x", "diffused_energy.y", "diffused_energy.z", "one_plane.x",
           "one_plane.y", "one_plane.z"]


def words(path):
    values = array("I")
    with open(path, "rb") as file:
        values.frombytes(file.read())
    if sys.byteorder != "little":
        values.byteswap()
    if len(values) % len(OUTPUTS):
        sys.exit(f"{path}: not a whole number of cases")
    return values


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    reference, other = words(sys.argv[1]), words(sys.argv[2])
    count = min(len(reference), len(other))
    differing = [0] * len(OUTPUTS)
    cases = set()
    for i in range(count):
        if reference[i] != other[i]:
            differing[i % len(OUTPUTS)] += 1
            cases.add(i // len(OUTPUTS))
    print(f"{count // len(OUTPUTS)} cases, {len(cases)} differ; outputs differing: "
          f"{sum(differing)}")
    for name, n in zip(OUTPUTS, differing):
        if n:
            print(f"  {name}: {n}")


if __name__ == "__main__":
    main()
