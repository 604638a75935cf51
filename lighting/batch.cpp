// The batch entry points: argument checks, the floating-point environment,
// then one pass of the SIMD kernel of the target in use (batch_kernel.cpp).
#include <lighting/lighting.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "batch_checks.hpp"
#include "batch_kernel.hpp"
#include "float_environment.hpp"
#include "formulas.hpp"

namespace lighting {

namespace {

constexpr const char* kWho = "lighting";

void require_same_size(std::size_t points, std::size_t other, const char* what) {
  detail::require_same_size(kWho, points, other, what);
}

template <typename Record>
void require_apart(std::span<const Vector3> out, const Record& input, const char* what) {
  detail::require_apart(kWho, out.data(), out.size(), &input, sizeof input, what);
}

void require_apart(std::span<const Vector3> out, std::span<const Vector3> input, const char* what) {
  detail::require_apart(kWho, out.data(), out.size(), input.data(), input.size_bytes(), what);
}

void require_points_in_place_or_apart(std::span<const Vector3> points,
                                      std::span<const Vector3> out) {
  detail::require_in_place_or_apart(kWho, points.data(), out.data(), points.size());
}

using detail::Flavour;

template <Flavour flavour>
void received_batch(std::span<const Vector3> points, const PointLight& light,
                    std::span<Vector3> out) {
  require_same_size(points.size(), out.size(), "outputs");
  if (points.empty()) return;
  require_points_in_place_or_apart(points, out);
  require_apart(out, light, "light");
  const detail::DefaultFloatEnvironment environment;
  detail::batch_kernels().of(flavour).received_energy(points.data(), points.size(), light,
                                                      out.data());
}

template <Flavour flavour>
void diffused_batch(std::span<const Vector3> points, const Vector3& normal,
                    const Vector3& reflectance, const PointLight& light, std::span<Vector3> out) {
  require_same_size(points.size(), out.size(), "outputs");
  if (points.empty()) return;
  require_points_in_place_or_apart(points, out);
  require_apart(out, normal, "normal");
  require_apart(out, reflectance, "reflectance");
  require_apart(out, light, "light");
  const detail::DefaultFloatEnvironment environment;
  detail::batch_kernels().of(flavour).diffused_energy_one_plane(
      points.data(), points.size(), normal, reflectance, light, out.data());
}

template <Flavour flavour>
void diffused_batch(std::span<const Vector3> points, std::span<const Vector3> normals,
                    std::span<const Vector3> reflectances, const PointLight& light,
                    std::span<Vector3> out) {
  require_same_size(points.size(), normals.size(), "normals");
  require_same_size(points.size(), reflectances.size(), "reflectances");
  require_same_size(points.size(), out.size(), "outputs");
  if (points.empty()) return;
  require_points_in_place_or_apart(points, out);
  require_apart(out, normals, "normals");
  require_apart(out, reflectances, "reflectances");
  require_apart(out, light, "light");
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

namespace detail {

void require_same_size(const char* who, std::size_t points, std::size_t other, const char* what) {
  if (points != other) {
    throw std::invalid_argument(std::string(who) + ": batch of " + std::to_string(points) +
                                " points but " + std::to_string(other) + " " + what);
  }
}

bool overlaps(const void* a, std::size_t a_bytes, const void* b, std::size_t b_bytes) noexcept {
  const auto* a_begin = static_cast<const unsigned char*>(a);
  const auto* b_begin = static_cast<const unsigned char*>(b);
  const std::less<const unsigned char*> before;
  return before(a_begin, b_begin + b_bytes) && before(b_begin, a_begin + a_bytes);
}

void require_apart(const char* who, const Vector3* out, std::size_t count, const void* input,
                   std::size_t input_bytes, const char* what) {
  if (overlaps(out, count * sizeof(Vector3), input, input_bytes)) {
    throw std::invalid_argument(std::string(who) + ": batch output overlaps the " + what);
  }
}

void require_in_place_or_apart(const char* who, const Vector3* points, const Vector3* out,
                               std::size_t count) {
  if (points == out) return;
  require_apart(who, out, count, points, count * sizeof(Vector3),
                "points (only exactly the same span may be shaded in place)");
}

}  // namespace detail

}  // namespace lighting
