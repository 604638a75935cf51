// The library's kernels: the portable formulas with CUDA's correctly rounded
// intrinsics. tests/cuda checks this file's PTX for any fused, approximate
// or flushing instruction.
#include "kernels.cuh"
#include "launch.hpp"

namespace lighting::cuda::detail {

cudaError_t launch(const Job& job, cudaStream_t stream) {
  return kernels::launch<formulas::DevicePolicy>(job, stream);
}

}  // namespace lighting::cuda::detail
