#!/usr/bin/env python3
"""The PTX check on small hand-written kernels: it fires on each kind of
instruction it must refuse, and passes a kernel made only of what the
library's kernels may hold."""

import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_ptx.py")

GOOD = [
    "sub.rn.f64 %fd1, %fd2, %fd3;",
    "mul.rn.f64 %fd4, %fd1, %fd1;",
    "add.rn.f64 %fd5, %fd4, %fd4;",
    "sqrt.rn.f64 %fd6, %fd5;",
    "rcp.rn.f64 %fd7, %fd6;",
    "div.rn.f64 %fd8, %fd7, %fd6;",
    "cvt.rn.f32.f64 %f1, %fd8;",
    "cvt.f64.f32 %fd9, %f1;",
    "setp.lt.f32 %p1, %f1, 0f00000000;",
    "selp.f32 %f2, 0f00000000, %f1, %p1;",
    "mad.lo.s64 %rd1, %rd2, %rd3, %rd4;",
    "mul.wide.u32 %rd5, %r1, %r2;",
    "add.s64 %rd6, %rd5, %rd1;",
    "cvt.u64.u32 %rd7, %r1;",
    "@%p1 bra $L__BB0_2;",
]


def kernel(body):
    lines = [".version 8.0", ".target sm_90", ".address_size 64", "",
             ".visible .entry shade_test(", "\t.param .u64 shade_test_param_0", ")", "{"]
    lines += ["\t" + line for line in body]
    lines += ["\tret;", "}"]
    return "\n".join(lines) + "\n"


def run(text, *arguments):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "kernel.ptx")
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        done = subprocess.run([sys.executable, CHECK, path, *arguments],
                              capture_output=True, text=True, check=False)
        return done.returncode, done.stdout


class CheckPtx(unittest.TestCase):
    def test_a_kernel_of_allowed_instructions_passes(self):
        status, output = run(kernel(GOOD), "--roundings", "shade_test=1")
        self.assertEqual(status, 0, output)

    def test_each_refused_instruction_fires(self):
        refused = {
            "fma.rn.f64 %fd1, %fd2, %fd3, %fd4;": "fused multiply-add",
            "fma.rn.f32 %f1, %f2, %f3, %f4;": "fused multiply-add",
            "fma.rn.f16 %h1, %h2, %h3, %h4;": "fused multiply-add",
            "mad.rn.f64 %fd1, %fd2, %fd3, %fd4;": "fused multiply-add",
            "mul.f64 %fd1, %fd2, %fd3;": "without .rn",
            "add.f32 %f1, %f2, %f3;": "without .rn",
            "sub.rz.f64 %fd1, %fd2, %fd3;": "without .rn",
            "mul.rn.ftz.f32 %f1, %f2, %f3;": "flush to zero",
            "sqrt.approx.f32 %f1, %f2;": "approximation",
            "div.full.f32 %f1, %f2, %f3;": "approximate division",
            "rsqrt.approx.f64 %fd1, %fd2;": "approximation",
            "ex2.approx.f32 %f1, %f2;": "approximation",
            "lg2.approx.f32 %f1, %f2;": "approximation",
            "max.f32 %f1, %f2, %f3;": "float max/min",
            "min.NaN.f32 %f1, %f2, %f3;": "float max/min",
            "cvt.rz.f32.f64 %f1, %fd1;": "float conversion",
            "cvt.rn.f16.f32 %h1, %f1;": "float conversion",
            "cvt.rn.f64.s32 %fd1, %r1;": "float conversion",
            "setp.le.f32 %p1, %f1, 0f00000000;": "float comparison",
        }
        for instruction, why in refused.items():
            with self.subTest(instruction=instruction):
                status, output = run(kernel(GOOD + [instruction]), "--roundings", "shade_test=1")
                self.assertEqual(status, 1, output)
                self.assertIn(why, output)

    def test_a_predicated_refused_instruction_fires(self):
        status, output = run(kernel(GOOD + ["@%p1 fma.rn.f64 %fd1, %fd2, %fd3, %fd4;"]))
        self.assertEqual(status, 1, output)

    def test_a_missing_root_or_division_fires(self):
        for missing in ("sqrt.rn.f64", "div.rn.f64", "rcp.rn.f64"):
            body = [line for line in GOOD if not line.startswith(missing)]
            status, output = run(kernel(body))
            if missing == "sqrt.rn.f64":
                self.assertEqual(status, 1, output)
                self.assertIn("no sqrt.rn.f64", output)
            else:  # the other of the two still stands for the division
                self.assertEqual(status, 0, output)
        body = [line for line in GOOD if not line.startswith(("div.rn", "rcp.rn"))]
        status, output = run(kernel(body))
        self.assertEqual(status, 1, output)

    def test_a_wrong_number_of_roundings_fires(self):
        status, output = run(kernel(GOOD + ["cvt.rn.f32.f64 %f3, %fd9;"]),
                             "--roundings", "shade_test=1")
        self.assertEqual(status, 1, output)
        self.assertIn("2 cvt.rn.f32.f64, expected 1", output)

    def test_expected_faults_turn_the_answer_round(self):
        wrong = kernel(GOOD + ["fma.rn.f64 %fd1, %fd2, %fd3, %fd4;"])
        self.assertEqual(run(wrong, "--expect-fault", "fused multiply-add")[0], 0)
        self.assertEqual(run(kernel(GOOD), "--expect-fault", "fused multiply-add")[0], 1)


if __name__ == "__main__":
    unittest.main()
