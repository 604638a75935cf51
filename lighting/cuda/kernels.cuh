// The three batch kernels over an arithmetic policy: the library builds them
// with DevicePolicy (kernels.cu); the tests build them once more with plain
// operators under --fmad=true, to show that the PTX check catches a build
// that fuses or loses a rounding.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>

#include "backend.hpp"
#include "device_formulas.cuh"

namespace lighting::cuda::kernels {

constexpr unsigned kThreads = 256;

__device__ __forceinline__ std::size_t first_index() {
  return std::size_t{blockIdx.x} * blockDim.x + threadIdx.x;
}
__device__ __forceinline__ std::size_t stride() {
  return std::size_t{gridDim.x} * blockDim.x;
}

// Each point is read whole before its result is stored: out may be points.
template <class P>
__global__ void shade_received(detail::Job job) {
  for (std::size_t i = first_index(); i < job.count; i += stride()) {
    job.out[i] = formulas::received_energy<P>(job.points[i], job.light);
  }
}

template <class P>
__global__ void shade_one_plane(detail::Job job) {
  for (std::size_t i = first_index(); i < job.count; i += stride()) {
    job.out[i] =
        formulas::diffused_energy<P>(job.points[i], job.normal, job.reflectance, job.light);
  }
}

template <class P>
__global__ void shade_each(detail::Job job) {
  for (std::size_t i = first_index(); i < job.count; i += stride()) {
    job.out[i] =
        formulas::diffused_energy<P>(job.points[i], job.normals[i], job.reflectances[i], job.light);
  }
}

// Enough blocks for one point a thread up to 2^32 points, then the loops stride.
inline unsigned blocks_for(std::size_t count) {
  const std::size_t wanted = (count + kThreads - 1) / kThreads;
  constexpr std::size_t kMostBlocks = std::size_t{1} << 24;
  return static_cast<unsigned>(wanted < kMostBlocks ? wanted : kMostBlocks);
}

template <class P>
cudaError_t launch(const detail::Job& job, cudaStream_t stream) {
  if (job.count == 0) return cudaSuccess;
  const unsigned blocks = blocks_for(job.count);
  switch (job.kind) {
    case detail::Kind::received:
      shade_received<P><<<blocks, kThreads, 0, stream>>>(job);
      break;
    case detail::Kind::one_plane:
      shade_one_plane<P><<<blocks, kThreads, 0, stream>>>(job);
      break;
    case detail::Kind::each:
      shade_each<P><<<blocks, kThreads, 0, stream>>>(job);
      break;
  }
  return cudaGetLastError();
}

}  // namespace lighting::cuda::kernels
