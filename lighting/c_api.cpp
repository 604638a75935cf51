// The C interface: each function converts its records and calls the C++
// function of the same name and flavour, so both interfaces share one
// implementation and give the same bits.
#include <lighting/lighting.h>

#include <lighting/lighting.hpp>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>

#include "c_status.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;

// The batches hand the C arrays to the C++ functions without copying, and the
// scalar functions convert with bit_cast: both need the two record types to be
// the same bytes.
template <typename C, typename Cpp>
constexpr bool same_representation =
    sizeof(C) == sizeof(Cpp) && alignof(C) == alignof(Cpp) &&
    std::is_standard_layout_v<C>&& std::is_standard_layout_v<Cpp>&& std::is_trivially_copyable_v<
        C>&& std::is_trivially_copyable_v<Cpp>;

static_assert(same_representation<LightingVector3, Vector3>);
static_assert(offsetof(LightingVector3, x) == offsetof(Vector3, x));
static_assert(offsetof(LightingVector3, y) == offsetof(Vector3, y));
static_assert(offsetof(LightingVector3, z) == offsetof(Vector3, z));

static_assert(same_representation<LightingPointLight, PointLight>);
static_assert(offsetof(LightingPointLight, position) == offsetof(PointLight, position));
static_assert(offsetof(LightingPointLight, r) == offsetof(PointLight, r));
static_assert(offsetof(LightingPointLight, g) == offsetof(PointLight, g));
static_assert(offsetof(LightingPointLight, b) == offsetof(PointLight, b));
static_assert(offsetof(LightingPointLight, intensity) == offsetof(PointLight, intensity));

Vector3 from_c(const LightingVector3* vector) {
  return std::bit_cast<Vector3>(*vector);
}
PointLight from_c(const LightingPointLight* light) {
  return std::bit_cast<PointLight>(*light);
}
LightingVector3 to_c(const Vector3& vector) {
  return std::bit_cast<LightingVector3>(vector);
}

// Views of caller arrays as the C++ records, which have the same bytes (see
// the assertions above). The C++ side only ever reads and writes their float
// fields, which is what the C caller stored there.
std::span<const Vector3> view(const LightingVector3* vectors, std::size_t count) {
  return {reinterpret_cast<const Vector3*>(vectors), count};
}
std::span<Vector3> view(LightingVector3* vectors, std::size_t count) {
  return {reinterpret_cast<Vector3*>(vectors), count};
}

// The batches' single records as the C++ records, by reference like the
// arrays, so that the C++ function's own overlap checks see the caller's
// addresses rather than those of copies.
const Vector3& view(const LightingVector3* vector) {
  return *reinterpret_cast<const Vector3*>(vector);
}
const PointLight& view(const LightingPointLight* light) {
  return *reinterpret_cast<const PointLight*>(light);
}

template <typename Batch>
LightingStatus run_batch(Batch&& batch) noexcept {
  try {
    batch();
    return LIGHTING_OK;
  } catch (...) {
    return lighting::detail::status_of_current_exception();
  }
}

// Each C function of either flavour, written once over its table.
using lighting::Operations;

float light_distance(const Operations& ops, const LightingVector3* point,
                     const LightingPointLight* light) noexcept {
  return ops.light_distance(from_c(point), from_c(light));
}

void light_direction(const Operations& ops, const LightingVector3* point,
                     const LightingPointLight* light, LightingVector3* out) noexcept {
  Vector3 result;
  ops.light_direction(from_c(point), from_c(light), result);
  *out = to_c(result);
}

float dot_product(const Operations& ops, const LightingVector3* a,
                  const LightingVector3* b) noexcept {
  return ops.dot_product(from_c(a), from_c(b));
}

void received_energy(const Operations& ops, const LightingVector3* point,
                     const LightingPointLight* light, LightingVector3* out) noexcept {
  Vector3 result;
  ops.received_energy(from_c(point), from_c(light), result);
  *out = to_c(result);
}

void diffused_energy(const Operations& ops, const LightingVector3* point,
                     const LightingVector3* normal, const LightingVector3* reflectance,
                     const LightingPointLight* light, LightingVector3* out) noexcept {
  Vector3 result;
  ops.diffused_energy(from_c(point), from_c(normal), from_c(reflectance), from_c(light), result);
  *out = to_c(result);
}

// Nothing to do for count 0; else the checks of every C batch, then the batch.
template <typename Batch>
LightingStatus checked_batch(std::size_t count, std::initializer_list<const void*> arrays,
                             std::initializer_list<const void*> records, Batch&& batch) noexcept {
  if (count == 0) return LIGHTING_OK;
  if (const LightingStatus status = lighting::detail::check_c_batch(count, arrays, records)) {
    return status;
  }
  return run_batch(batch);
}

LightingStatus received_energy_batch(const Operations& ops, const LightingVector3* points,
                                     std::size_t count, const LightingPointLight* light,
                                     LightingVector3* out) noexcept {
  return checked_batch(count, {points, out}, {light}, [&] {
    ops.received_energy_batch(view(points, count), view(light), view(out, count));
  });
}

LightingStatus diffused_energy_batch(const Operations& ops, const LightingVector3* points,
                                     std::size_t count, const LightingVector3* normal,
                                     const LightingVector3* reflectance,
                                     const LightingPointLight* light,
                                     LightingVector3* out) noexcept {
  return checked_batch(count, {points, out}, {normal, reflectance, light}, [&] {
    ops.diffused_energy_batch(view(points, count), view(normal), view(reflectance), view(light),
                              view(out, count));
  });
}

LightingStatus diffused_energy_batch_each(const Operations& ops, const LightingVector3* points,
                                          const LightingVector3* normals,
                                          const LightingVector3* reflectances, std::size_t count,
                                          const LightingPointLight* light,
                                          LightingVector3* out) noexcept {
  return checked_batch(count, {points, normals, reflectances, out}, {light}, [&] {
    ops.diffused_energy_batch_each(view(points, count), view(normals, count),
                                   view(reflectances, count), view(light), view(out, count));
  });
}

}  // namespace

namespace lighting::detail {

LightingStatus status_of_current_exception() noexcept {
  try {
    throw;
  } catch (const std::invalid_argument&) {
    return LIGHTING_ERROR_OVERLAP;
  } catch (const std::bad_alloc&) {
    return LIGHTING_ERROR_OUT_OF_MEMORY;
  }
}

LightingStatus check_c_batch(std::size_t count, std::initializer_list<const void*> arrays,
                             std::initializer_list<const void*> records) noexcept {
  for (const void* array : arrays) {
    if (array == nullptr) return LIGHTING_ERROR_NULL;
  }
  for (const void* record : records) {
    if (record == nullptr) return LIGHTING_ERROR_NULL;
  }
  for (const void* array : arrays) {
    const auto start = reinterpret_cast<std::uintptr_t>(array);
    if (count > (UINTPTR_MAX - start) / sizeof(LightingVector3)) return LIGHTING_ERROR_TOO_LARGE;
  }
  return LIGHTING_OK;
}

}  // namespace lighting::detail

extern "C" {

const char* lighting_status_message(LightingStatus status) noexcept {
  switch (status) {
    case LIGHTING_OK:
      return "ok";
    case LIGHTING_ERROR_NULL:
      return "a pointer argument is null";
    case LIGHTING_ERROR_OVERLAP:
      return "the output overlaps an input other than exactly the points";
    case LIGHTING_ERROR_TOO_LARGE:
      return "the count runs past the end of the address space";
    case LIGHTING_ERROR_OUT_OF_MEMORY:
      return "out of memory";
    case LIGHTING_ERROR_NO_DEVICE:
      return "no usable CUDA device";
    case LIGHTING_ERROR_DEVICE:
      return "CUDA reported an error";
  }
  return "unknown status";
}

// The public names of each flavour, lighting_f and lighting_portable_f, over
// that flavour's table.
#define LIGHTING_C_FUNCTIONS(PREFIX, OPERATIONS)                                                 \
  float PREFIX##light_distance(const LightingVector3* point,                                     \
                               const LightingPointLight* light) noexcept {                       \
    return light_distance(OPERATIONS, point, light);                                             \
  }                                                                                              \
  void PREFIX##light_direction(const LightingVector3* point, const LightingPointLight* light,    \
                               LightingVector3* out) noexcept {                                  \
    light_direction(OPERATIONS, point, light, out);                                              \
  }                                                                                              \
  float PREFIX##dot_product(const LightingVector3* a, const LightingVector3* b) noexcept {       \
    return dot_product(OPERATIONS, a, b);                                                        \
  }                                                                                              \
  void PREFIX##received_energy(const LightingVector3* point, const LightingPointLight* light,    \
                               LightingVector3* out) noexcept {                                  \
    received_energy(OPERATIONS, point, light, out);                                              \
  }                                                                                              \
  void PREFIX##diffused_energy(const LightingVector3* point, const LightingVector3* normal,      \
                               const LightingVector3* reflectance,                               \
                               const LightingPointLight* light, LightingVector3* out) noexcept { \
    diffused_energy(OPERATIONS, point, normal, reflectance, light, out);                         \
  }                                                                                              \
  LightingStatus PREFIX##received_energy_batch(const LightingVector3* points, std::size_t count, \
                                               const LightingPointLight* light,                  \
                                               LightingVector3* out) noexcept {                  \
    return received_energy_batch(OPERATIONS, points, count, light, out);                         \
  }                                                                                              \
  LightingStatus PREFIX##diffused_energy_batch(                                                  \
      const LightingVector3* points, std::size_t count, const LightingVector3* normal,           \
      const LightingVector3* reflectance, const LightingPointLight* light,                       \
      LightingVector3* out) noexcept {                                                           \
    return diffused_energy_batch(OPERATIONS, points, count, normal, reflectance, light, out);    \
  }                                                                                              \
  LightingStatus PREFIX##diffused_energy_batch_each(                                             \
      const LightingVector3* points, const LightingVector3* normals,                             \
      const LightingVector3* reflectances, std::size_t count, const LightingPointLight* light,   \
      LightingVector3* out) noexcept {                                                           \
    return diffused_energy_batch_each(OPERATIONS, points, normals, reflectances, count, light,   \
                                      out);                                                      \
  }

LIGHTING_C_FUNCTIONS(lighting_, lighting::operations())
LIGHTING_C_FUNCTIONS(lighting_portable_, lighting::portable::operations())

#undef LIGHTING_C_FUNCTIONS

}  // extern "C"
