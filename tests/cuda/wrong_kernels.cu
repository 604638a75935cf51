// The library's kernels built wrong on purpose: plain operators and
// std::sqrt in place of the _rn intrinsics, compiled with --fmad=true, so
// that nvcc fuses products into sums and leaves arithmetic free to be fused
// again by ptxas. The PTX check must refuse this file's PTX.
#include <cmath>

#include "kernels.cuh"

namespace {

struct PlainPolicy {
  static __device__ double add(double a, double b) { return a + b; }
  static __device__ double sub(double a, double b) { return a - b; }
  static __device__ double mul(double a, double b) { return a * b; }
  static __device__ double div(double a, double b) { return a / b; }
  static __device__ double reciprocal(double a) { return 1.0 / a; }
  static __device__ double root(double a) { return std::sqrt(a); }
  static __device__ float to_float(double a) { return static_cast<float>(a); }
  static __device__ float keep(float a) { return a; }
};

}  // namespace

template cudaError_t lighting::cuda::kernels::launch<PlainPolicy>(
    const lighting::cuda::detail::Job&, cudaStream_t);
