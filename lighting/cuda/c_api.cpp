// The C interface of the GPU batches: the C arrays as the C++ records (the
// same bytes: lighting/c_api.cpp asserts it), each C++ exception as a status.
#include <lighting/lighting_cuda.h>

#include <lighting/lighting_cuda.hpp>

#include "backend.hpp"
#include "c_status.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <span>
#include <stdexcept>
#include <string>

namespace {

using lighting::PointLight;
using lighting::Vector3;
namespace cuda = lighting::cuda;

thread_local std::string last_error;

const Vector3* view(const LightingVector3* vectors) {
  return reinterpret_cast<const Vector3*>(vectors);
}
Vector3* view(LightingVector3* vectors) {
  return reinterpret_cast<Vector3*>(vectors);
}
const PointLight& view(const LightingPointLight* light) {
  return *reinterpret_cast<const PointLight*>(light);
}

// With one count for every array and null pointers refused already, the only
// std::invalid_argument left is an overlap, or (device forms) memory the
// device cannot reach, which C reports as a device error with its message.
template <typename Batch>
LightingStatus run(Batch&& batch) noexcept {
  try {
    batch();
    return LIGHTING_OK;
  } catch (const cuda::NoDevice& error) {
    last_error = error.what();
    return LIGHTING_ERROR_NO_DEVICE;
  } catch (const cuda::DeviceError& error) {
    last_error = error.what();
    return LIGHTING_ERROR_DEVICE;
  } catch (const std::bad_alloc&) {
    return LIGHTING_ERROR_OUT_OF_MEMORY;
  } catch (const lighting::cuda::detail::Unreachable& error) {
    last_error = error.what();
    return LIGHTING_ERROR_DEVICE;
  } catch (const std::invalid_argument&) {
    return LIGHTING_ERROR_OVERLAP;
  } catch (...) {
    last_error = "lighting::cuda: unexpected error";
    return LIGHTING_ERROR_DEVICE;
  }
}

using lighting::detail::check_c_batch;

}  // namespace

extern "C" {

int lighting_cuda_available(void) noexcept {
  return cuda::available() ? 1 : 0;
}

const char* lighting_cuda_last_error(void) noexcept {
  return last_error.c_str();
}

LightingStatus lighting_cuda_received_energy_batch(const LightingVector3* points, size_t count,
                                                   const LightingPointLight* light,
                                                   LightingVector3* out) noexcept {
  if (count == 0) return LIGHTING_OK;
  if (const auto status = check_c_batch(count, {points, out}, {light})) return status;
  return run([&] {
    cuda::received_energy({view(points), count}, view(light), {view(out), count});
  });
}

LightingStatus lighting_cuda_diffused_energy_batch(const LightingVector3* points, size_t count,
                                                   const LightingVector3* normal,
                                                   const LightingVector3* reflectance,
                                                   const LightingPointLight* light,
                                                   LightingVector3* out) noexcept {
  if (count == 0) return LIGHTING_OK;
  if (const auto status = check_c_batch(count, {points, out}, {normal, reflectance, light})) {
    return status;
  }
  return run([&] {
    cuda::diffused_energy({view(points), count}, *view(normal), *view(reflectance), view(light),
                          {view(out), count});
  });
}

LightingStatus lighting_cuda_diffused_energy_batch_each(const LightingVector3* points,
                                                        const LightingVector3* normals,
                                                        const LightingVector3* reflectances,
                                                        size_t count,
                                                        const LightingPointLight* light,
                                                        LightingVector3* out) noexcept {
  if (count == 0) return LIGHTING_OK;
  if (const auto status = check_c_batch(count, {points, normals, reflectances, out}, {light})) {
    return status;
  }
  return run([&] {
    cuda::diffused_energy({view(points), count}, {view(normals), count},
                          {view(reflectances), count}, view(light), {view(out), count});
  });
}

LightingStatus lighting_cuda_received_energy_device(const LightingVector3* points, size_t count,
                                                    const LightingPointLight* light,
                                                    LightingVector3* out, void* stream) noexcept {
  if (count == 0) return LIGHTING_OK;
  if (const auto status = check_c_batch(count, {points, out}, {light})) return status;
  return run([&] {
    cuda::device::received_energy(view(points), count, view(light), view(out),
                                  static_cast<cuda::Stream>(stream));
  });
}

LightingStatus lighting_cuda_diffused_energy_device(const LightingVector3* points, size_t count,
                                                    const LightingVector3* normal,
                                                    const LightingVector3* reflectance,
                                                    const LightingPointLight* light,
                                                    LightingVector3* out, void* stream) noexcept {
  if (count == 0) return LIGHTING_OK;
  if (const auto status = check_c_batch(count, {points, out}, {normal, reflectance, light})) {
    return status;
  }
  return run([&] {
    cuda::device::diffused_energy(view(points), count, *view(normal), *view(reflectance),
                                  view(light), view(out), static_cast<cuda::Stream>(stream));
  });
}

LightingStatus lighting_cuda_diffused_energy_device_each(
    const LightingVector3* points, const LightingVector3* normals,
    const LightingVector3* reflectances, size_t count, const LightingPointLight* light,
    LightingVector3* out, void* stream) noexcept {
  if (count == 0) return LIGHTING_OK;
  if (const auto status = check_c_batch(count, {points, normals, reflectances, out}, {light})) {
    return status;
  }
  return run([&] {
    cuda::device::diffused_energy(view(points), view(normals), view(reflectances), count,
                                  view(light), view(out), static_cast<cuda::Stream>(stream));
  });
}

}  // extern "C"
