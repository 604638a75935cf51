// The batch entry points: argument checks, the floating-point environment,
// then one pass of the SIMD kernel of the target in use (batch_kernel.cpp).
#include <lighting/lighting.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

#include "batch_checks.hpp"
#include "batch_kernel.hpp"
#include "float_environment.hpp"
#include "formulas.hpp"

namespace lighting {

namespace {

constexpr const char* kWho = "lighting";

using detail::Flavour;

template <Flavour flavour>
void received_batch(std::span<const Vector3> points, const PointLight& light,
                    std::span<Vector3> out) {
  if (!detail::check_received(kWho, points, light, out)) return;
  const detail::DefaultFloatEnvironment environment;
  detail::batch_kernels().of(flavour).received_energy(points.data(), points.size(), light,
                                                      out.data());
}

template <Flavour flavour>
void diffused_batch(std::span<const Vector3> points, const Vector3& normal,
                    const Vector3& reflectance, const PointLight& light, std::span<Vector3> out) {
  if (!detail::check_diffused(kWho, points, normal, reflectance, light, out)) return;
  const detail::DefaultFloatEnvironment environment;
  detail::batch_kernels().of(flavour).diffused_energy_one_plane(
      points.data(), points.size(), normal, reflectance, light, out.data());
}

template <Flavour flavour>
void diffused_batch(std::span<const Vector3> points, std::span<const Vector3> normals,
                    std::span<const Vector3> reflectances, const PointLight& light,
                    std::span<Vector3> out) {
  if (!detail::check_diffused(kWho, points, normals, reflectances, light, out)) return;
  const detail::DefaultFloatEnvironment environment;
  detail::batch_kernels().of(flavour).diffused_energy(
      points.data(), normals.data(), reflectances.data(), points.size(), light, out.data());
}

}  // namespace

// The public names of each flavour: lighting::f and lighting::portable::f.
#define LIGHTING_BATCH_FUNCTIONS(FLAVOUR)                                                 \
  void received_energy(std::span<const Vector3> points, const PointLight& light,          \
                       std::span<Vector3> out) {                                          \
    received_batch<FLAVOUR>(points, light, out);                                          \
  }                                                                                       \
  void diffused_energy(std::span<const Vector3> points, const Vector3& normal,            \
                       const Vector3& reflectance, const PointLight& light,               \
                       std::span<Vector3> out) {                                          \
    diffused_batch<FLAVOUR>(points, normal, reflectance, light, out);                     \
  }                                                                                       \
  void diffused_energy(std::span<const Vector3> points, std::span<const Vector3> normals, \
                       std::span<const Vector3> reflectances, const PointLight& light,    \
                       std::span<Vector3> out) {                                          \
    diffused_batch<FLAVOUR>(points, normals, reflectances, light, out);                   \
  }

LIGHTING_BATCH_FUNCTIONS(detail::Flavour::pow)

namespace portable {
LIGHTING_BATCH_FUNCTIONS(detail::Flavour::portable)
}  // namespace portable

#undef LIGHTING_BATCH_FUNCTIONS

std::string_view batch_target() noexcept {
  return detail::batch_kernels().name;
}

std::vector<std::string_view> batch_targets() {
  const detail::BatchKernels* tables[64];
  const std::size_t count = detail::available_batch_targets(tables, 64);
  std::vector<std::string_view> names;
  for (std::size_t i = 0; i < count; ++i) names.push_back(tables[i]->name);
  return names;
}

}  // namespace lighting
