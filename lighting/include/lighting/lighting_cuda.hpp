// The portable flavour's batches on an NVIDIA GPU.
//
// Each element of out holds exactly the bits lighting::portable gives for
// that element (a NaN matches any NaN): the kernels use the same formulas,
// orders and rounding points, with CUDA's correctly rounded double
// operations and no fused multiply-add. The default flavour has no GPU form:
// CUDA's pow is not any C library's.
//
// The library may be built without CUDA (LIGHTING_CUDA=OFF, or no nvcc):
// these functions are there all the same, available() is false and the
// batches throw NoDevice.
//
// Two forms of each batch:
// - on host spans (namespace lighting::cuda): the points are copied to the
//   device, shaded and copied back; the call returns when out is written.
//   The argument rules are those of the CPU batches: spans of different
//   sizes throw std::invalid_argument naming both sizes; out may be exactly
//   the points span, any other overlap throws std::invalid_argument;
//   nothing is written when an argument is refused or no device is there.
// - on device memory (namespace lighting::cuda::device): count records at
//   each pointer, asynchronous on the given stream (the default stream when
//   none). A null pointer with a nonzero count, memory the device cannot
//   reach, or an output that overlaps an input other than exactly the points
//   throws std::invalid_argument before anything is queued. A fault while
//   the kernel runs is reported by CUDA at the next synchronisation.
//
// Errors: NoDevice when there is no usable device or driver (or no CUDA in
// this build), DeviceError with CUDA's own message for anything CUDA reports.
// Both hold one line.
#pragma once

#include <lighting/lighting.hpp>

#include <cstddef>
#include <span>
#include <stdexcept>

// CUDA's stream handle, declared as cuda_runtime.h declares it, so that a
// caller passes its cudaStream_t without this header needing CUDA's.
struct CUstream_st;

namespace lighting::cuda {

using Stream = CUstream_st*;

class NoDevice : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class DeviceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A CUDA device is present and usable. Never throws nor aborts: false
// without a driver, a device or CUDA in this build.
bool available() noexcept;

// out[i] = portable::received_energy(points[i], light)
void received_energy(std::span<const Vector3> points, const PointLight& light,
                     std::span<Vector3> out);

// out[i] = portable::diffused_energy(points[i], normal, reflectance, light)
void diffused_energy(std::span<const Vector3> points, const Vector3& normal,
                     const Vector3& reflectance, const PointLight& light, std::span<Vector3> out);

// out[i] = portable::diffused_energy(points[i], normals[i], reflectances[i], light)
void diffused_energy(std::span<const Vector3> points, std::span<const Vector3> normals,
                     std::span<const Vector3> reflectances, const PointLight& light,
                     std::span<Vector3> out);

namespace device {

// The same three batches on device pointers, queued on stream.
void received_energy(const Vector3* points, std::size_t count, const PointLight& light,
                     Vector3* out, Stream stream = nullptr);
void diffused_energy(const Vector3* points, std::size_t count, const Vector3& normal,
                     const Vector3& reflectance, const PointLight& light, Vector3* out,
                     Stream stream = nullptr);
void diffused_energy(const Vector3* points, const Vector3* normals, const Vector3* reflectances,
                     std::size_t count, const PointLight& light, Vector3* out,
                     Stream stream = nullptr);

}  // namespace device

}  // namespace lighting::cuda
