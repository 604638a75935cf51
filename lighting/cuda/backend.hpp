// What the batches ask of the device, once their arguments are checked
// (batch.cpp): runtime.cpp gives it with the CUDA runtime, no_runtime.cpp
// without CUDA. The kernels (kernels.cu) see only Job.
#pragma once

#include <lighting/lighting.hpp>
#include <lighting/lighting_cuda.hpp>

#include <cstddef>
#include <stdexcept>

namespace lighting::cuda::detail {

enum class Kind { received, one_plane, each };

// One batch: pointers into device memory for run_on_device, into host
// memory for run_through_host. normals and reflectances are read for Kind::each,
// normal and reflectance for Kind::one_plane.
struct Job {
  Kind kind;
  std::size_t count;
  const Vector3* points;
  const Vector3* normals;
  const Vector3* reflectances;
  Vector3 normal;
  Vector3 reflectance;
  PointLight light;
  Vector3* out;
};

// A device pointer that is ordinary host memory.
class Unreachable : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

bool device_present() noexcept;

// Throw NoDevice, DeviceError, or Unreachable.
void run_on_device(const Job& job, Stream stream);
void run_through_host(const Job& job);

}  // namespace lighting::cuda::detail
