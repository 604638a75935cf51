#!/bin/sh
# The GPU checks, for a machine with an NVIDIA GPU, run from the repository
# root: builds the GPU hash test and the GPU benchmark (no Highway, no Python,
# no renderer: minutes, not tens of them), then runs the hash test on the
# 2^21 one-hash cases and the benchmark at 1e6, 1e8 and 1e9 points.
#
#   bench/cuda_device_check.sh [BUILD_DIR]      (default build/gpu-check)
#
# Needs CMake, Ninja, nvcc (CUDA 12 or later, or CUDACXX), a C++20 compiler,
# GoogleTest (the test suite's configuration asks for it) and Google
# Benchmark. Exits with the hash test's status when it fails, else the
# benchmark's; 77 when there is no usable device.
set -eu

build=${1:-build/gpu-check}
jobs=$(nproc 2>/dev/null || echo 4)

if command -v nvidia-smi >/dev/null 2>&1; then
  nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader || true
fi

# H100 machine code; CUDA_ARCHITECTURES=... overrides it (e.g. 90-real;100-real).
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CUDA_ARCHITECTURES="${CUDA_ARCHITECTURES:-90-real;90-virtual}" \
  -DLIGHTING_CUDA=ON \
  -DLIGHTING_WITH_HIGHWAY=OFF \
  -DLIGHTING_BUILD_BENCHMARKS=ON \
  -DLIGHTING_BUILD_PYTHON=OFF \
  -DLIGHTING_BUILD_DEMO=OFF \
  -DLIGHTING_INSTALL=OFF \
  -DBUILD_TESTING=ON >"$build.configure.log" 2>&1 || {
  tail -n 30 "$build.configure.log" >&2
  echo "cuda_device_check: configure failed (log: $build.configure.log)" >&2
  exit 1
}
cmake --build "$build" -j "$jobs" --target cuda_gpu_hash_test cuda_bench cuda_api_tests

echo "== the batches' argument rules"
"$build/tests/cuda/cuda_api_tests" --gtest_brief=1

echo "== the one-hash cases on the GPU"
status=0
"$build/tests/cuda/cuda_gpu_hash_test" || status=$?
if [ "$status" -ne 0 ]; then
  echo "cuda_device_check: the GPU hash test exited $status" >&2
  exit "$status"
fi

echo "== points per second"
# One repetition of each size is enough at 1e8 and 1e9 points: a run lasts
# from milliseconds (device memory) to seconds (host spans and their copies).
"$build/bench/cuda_bench" --benchmark_min_time=0.2 --benchmark_counters_tabular=true
