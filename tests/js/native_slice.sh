#!/bin/bash
# Builds the one-hash slice generator natively, as the library is built, with
# the C library pow of the WebAssembly module (emscripten's musl pow, taken
# from its sources) standing in for the host's, and writes the slice. The
# default flavour's bits are those of a native build on the same pow; the
# portable flavour's do not depend on it.
# Usage: native_slice.sh SOURCE_DIR MUSL_DIR WORK_DIR OUTPUT
set -euo pipefail
source_dir=$1 musl=$2 work=$3 output=$4
cc=${HOST_CC:-cc} cxx=${HOST_CXX:-c++}

rm -rf "$work"
mkdir -p "$work"
cd "$work"
# musl's internal header, less the declarations that clash with the host's
# <math.h>; pow itself renamed so that the host's stays untouched.
grep -v -E 'hidden (double|float|long double) __(sin|cos|tan)[fl]?\(' "$musl/src/internal/libm.h" > libm.h
cp "$musl/src/math/exp_data.h" "$musl/src/math/pow_data.h" .
echo '#define hidden __attribute__((visibility("hidden")))' > hidden.h
sed 's/^double pow(/double musl_pow(/' "$musl/src/math/pow.c" > musl_pow.c
grep -q '^double musl_pow(' musl_pow.c
for file in pow_data exp_data __math_oflow __math_uflow __math_xflow __math_invalid __math_divzero; do
  cp "$musl/src/math/$file.c" .
done
$cc -O2 -ffp-contract=off -fno-builtin -include hidden.h -I. -I"$musl/arch/generic" -c \
  musl_pow.c pow_data.c exp_data.c __math_oflow.c __math_uflow.c __math_xflow.c \
  __math_invalid.c __math_divzero.c
# The library without Highway: every source but the Highway kernels.
library_sources=()
for file in "$source_dir"/lighting/*.cpp; do
  grep -q 'hwy/' "$file" || library_sources+=("$file")
done
echo 'extern "C" double musl_pow(double, double); extern "C" double __wrap_pow(double x, double y) { return musl_pow(x, y); }' > wrap.cpp
$cxx -std=c++20 -O2 -ffp-contract=off -fno-fast-math -fmath-errno \
  -I"$source_dir/lighting/include" -I"$source_dir/lighting" \
  "${library_sources[@]}" \
  "$source_dir/tests/js/determinism_slice.cpp" wrap.cpp ./*.o -Wl,--wrap=pow -o determinism_slice
./determinism_slice "$output"
