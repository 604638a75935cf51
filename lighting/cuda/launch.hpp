// The one door from the host code (runtime.cpp) into the kernels (kernels.cu).
#pragma once

#include <cuda_runtime_api.h>

#include "backend.hpp"

namespace lighting::cuda::detail {

// Queues job's kernel on stream; the launch's own error, if any.
cudaError_t launch(const Job& job, cudaStream_t stream);

}  // namespace lighting::cuda::detail
