#!/usr/bin/env python3
"""Reads the kernels' PTX and fails on any instruction that could move a
rounding point: a fused multiply-add, arithmetic without round-to-nearest,
an approximation, a flush to zero, a float min/max (which turns -0 into +0
and drops NaN), a float compare other than the clamp's strict less-than, or
a float conversion other than the exact widening and the rounding to float.
It also requires the IEEE root, division and reciprocal, and per kernel the
expected number of roundings to float.

The check is on the PTX, not on the machine code: a correct build's machine
code holds DFMA inside the IEEE division and root sequences.

    check_ptx.py FILE.ptx --roundings NAME=COUNT ... [--expect-fault WHY ...]

NAME is a piece of an entry's (mangled) name. Prints what it finds; exits 1
on any fault, 2 on bad usage. With --expect-fault (a build made wrong on
purpose) the meaning turns round: exit 0 when every WHY is among the faults
found, 1 otherwise.
"""

import argparse
import re
import sys

FLOAT = r"(f16|f16x2|bf16|bf16x2|f32|f64)"
# (pattern, why) for one instruction, without its operands.
FORBIDDEN = [
    (re.compile(r"^(fma|mad)(\.[a-z0-9]+)*\." + FLOAT + "$"), "fused multiply-add"),
    (re.compile(r"^(add|sub|mul)(\.(?!rn\b)[a-z0-9]+)*\." + FLOAT + "$"), None),
    (re.compile(r"\.approx\b"), "approximation"),
    (re.compile(r"^div\.full\b"), "approximate division"),
    (re.compile(r"^(rsqrt|ex2|lg2|sin|cos|tanh)\b"), "approximate function"),
    (re.compile(r"\.ftz\b"), "flush to zero"),
    (re.compile(r"^(max|min)(\.[a-zA-Z0-9]+)*\." + FLOAT + "$"), "float max/min"),
]
ALLOWED_CONVERSIONS = {"cvt.rn.f32.f64", "cvt.f64.f32"}
CONVERSION_TYPES = re.compile(r"\.(f16|bf16|f32|f64)\b")


def instructions(text):
    """(entry, line number, opcode) for each instruction, entry None outside one."""
    entry = None
    depth = 0
    for number, line in enumerate(text.splitlines(), 1):
        code = line.split("//", 1)[0].strip()
        if not code:
            continue
        found = re.match(
            r"^(?:\.(?:visible|weak|extern)\s+)*\.(?:entry|func)\s+(?:\([^)]*\)\s*)?([\w$]+)", code
        )
        if found is not None and depth == 0:
            entry = found.group(1)
        depth += code.count("{") - code.count("}")
        if depth == 0 and code == "}":
            entry = None
            continue
        if code.startswith(".") or code.endswith(":") or code in "{}":
            continue
        if code.startswith("@"):
            code = code.split(None, 1)[1] if " " in code else ""
        opcode = code.split(None, 1)[0].rstrip(";")
        yield entry, number, opcode


def faults_of(opcode):
    for pattern, why in FORBIDDEN:
        if pattern.search(opcode):
            return why or "arithmetic without .rn"
    if opcode.startswith("cvt.") and CONVERSION_TYPES.search(opcode):
        if opcode not in ALLOWED_CONVERSIONS:
            return "float conversion other than cvt.rn.f32.f64 and cvt.f64.f32"
    if opcode.startswith("setp.") and re.search(r"\." + FLOAT + "$", opcode):
        if opcode != "setp.lt.f32":
            return "float comparison other than the clamp's setp.lt.f32"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ptx")
    parser.add_argument("--roundings", action="append", default=[], metavar="NAME=COUNT")
    parser.add_argument("--expect-fault", action="append", default=[], metavar="WHY")
    args = parser.parse_args()
    expected = {}
    for item in args.roundings:
        name, _, count = item.partition("=")
        if not name or not count.isdigit():
            print(f"check_ptx: bad --roundings {item!r}", file=sys.stderr)
            return 2
        expected[name] = int(count)
    try:
        with open(args.ptx, encoding="utf-8") as file:
            text = file.read()
    except OSError as error:
        print(f"check_ptx: {args.ptx}: {error.strerror}", file=sys.stderr)
        return 2

    faults = []
    roundings = {}
    required = {"sqrt.rn.f64": 0, "div.rn.f64 or rcp.rn.f64": 0}
    entries = set()
    for entry, number, opcode in instructions(text):
        if entry is not None:
            entries.add(entry)
        why = faults_of(opcode)
        if why is not None:
            faults.append(f"line {number}: {opcode}: {why}")
        if opcode == "cvt.rn.f32.f64":
            roundings[entry] = roundings.get(entry, 0) + 1
        if opcode == "sqrt.rn.f64":
            required["sqrt.rn.f64"] += 1
        if opcode in ("div.rn.f64", "rcp.rn.f64"):
            required["div.rn.f64 or rcp.rn.f64"] += 1
    for what, count in required.items():
        if count == 0:
            faults.append(f"no {what}: the IEEE operation is missing")
    for name, count in expected.items():
        matching = [entry for entry in entries if name in entry]
        if len(matching) != 1:
            faults.append(f"{len(matching)} entries named like {name!r}, not 1")
            continue
        found = roundings.get(matching[0], 0)
        print(f"{matching[0]}: {found} cvt.rn.f32.f64")
        if found != count:
            faults.append(f"{matching[0]}: {found} cvt.rn.f32.f64, expected {count}")
    for fault in faults:
        print(f"check_ptx: {args.ptx}: {fault}")
    if args.expect_fault:
        missing = [why for why in args.expect_fault if not any(why in f for f in faults)]
        for why in missing:
            print(f"check_ptx: {args.ptx}: expected a fault '{why}', found none")
        return 1 if missing else 0
    if faults:
        print(f"check_ptx: {len(faults)} faults")
        return 1
    print(f"check_ptx: {args.ptx}: no fused, approximate or flushing instruction")
    return 0


if __name__ == "__main__":
    sys.exit(main())
