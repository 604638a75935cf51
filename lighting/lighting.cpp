// The five lighting operations. Each reads like its formula: the order of the
// operations and the places where a double is rounded to float are what fix
// the result's bits, so they are written out rather than left to helpers.
//
// This file must be compiled without fast-math, with math-errno (otherwise a
// compiler may turn pow(x, 0.5) into a square root, which differs in the last
// bit for some inputs) and without contraction into fused multiply-adds; the
// build sets those flags and the checks below refuse a build that lost them.
#include <lighting/lighting.hpp>

#include <cfloat>
#include <cmath>

#include "float_environment.hpp"
#include "formulas.hpp"

#if defined(__FAST_MATH__)
#error "lighting.cpp must not be built with -ffast-math or -Ofast: add -fno-fast-math"
#endif
#if defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__
#error "lighting.cpp must not be built with -ffinite-math-only: add -fno-finite-math-only"
#endif
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#if defined(__i386__)
#error \
    "lighting.cpp needs float and double arithmetic in their own precision: on 32-bit x86 add -msse2 -mfpmath=sse"
#elif defined(__x86_64__)
#error \
    "lighting.cpp needs float and double arithmetic in their own precision: on x86-64 use -mfpmath=sse, not -mfpmath=387"
#else
#error "lighting.cpp needs float and double arithmetic in their own precision (FLT_EVAL_METHOD 0)"
#endif
#endif

namespace lighting {

namespace detail {

namespace formulas {

float light_distance(const Vector3& point, const PointLight& light) noexcept {
  const double dx = double(point.x) - double(light.position.x);
  const double dy = double(point.y) - double(light.position.y);
  const double dz = double(point.z) - double(light.position.z);
  return to_float(std::pow((dx * dx + dy * dy) + dz * dz, 0.5));
}

void light_direction(const Vector3& point, const PointLight& light, Vector3& out) noexcept {
  // Towards the light; the length stays a double and is not shared with
  // light_distance, whose result has been rounded.
  const double dx = double(light.position.x) - double(point.x);
  const double dy = double(light.position.y) - double(point.y);
  const double dz = double(light.position.z) - double(point.z);
  const double length = std::pow((dx * dx + dy * dy) + dz * dz, 0.5);
  out.x = to_float(dx / length);
  out.y = to_float(dy / length);
  out.z = to_float(dz / length);
}

float dot_product(const Vector3& a, const Vector3& b) noexcept {
  const double y_term = double(a.y) * double(b.y);
  const double x_term = double(a.x) * double(b.x);
  const double z_term = double(a.z) * double(b.z);
  return to_float((y_term + x_term) + z_term);
}

void received_energy(const Vector3& point, const PointLight& light, Vector3& out) noexcept {
  const float distance = formulas::light_distance(point, light);
  // The falloff as defined, (1/d)/d. For a float d, d*d is exact in double,
  // and float((1/d)/d) equals float(1/(d*d)) for every positive float d, so
  // one division by d*d would give the same bits; the two divisions stay
  // because they are the definition, and written so the code needs no such
  // argument to match it.
  const float falloff = to_float((1.0 / double(distance)) / double(distance));
  const double scale = double(falloff) * double(light.intensity);
  out.x = to_float(scale * double(light.r));
  out.y = to_float(scale * double(light.g));
  out.z = to_float(scale * double(light.b));
}

void diffused_energy(const Vector3& point, const Vector3& normal, const Vector3& reflectance,
                     const PointLight& light, Vector3& out) noexcept {
  Vector3 received;
  formulas::received_energy(point, light, received);
  Vector3 towards_light;
  formulas::light_direction(point, light, towards_light);
  float cosine = formulas::dot_product(towards_light, normal);
  // A surface facing away from the light diffuses nothing. Only a strictly
  // negative cosine is clamped: -0 and NaN pass through unchanged.
  if (cosine < 0.0f) cosine = 0.0f;
  out.x = to_float((double(received.x) * double(cosine)) * double(reflectance.x));
  out.y = to_float((double(received.y) * double(cosine)) * double(reflectance.y));
  out.z = to_float((double(received.z) * double(cosine)) * double(reflectance.z));
}

}  // namespace formulas

}  // namespace detail

float light_distance(const Vector3& point, const PointLight& light) noexcept {
  const detail::DefaultFloatEnvironment environment;
  return detail::formulas::light_distance(point, light);
}

void light_direction(const Vector3& point, const PointLight& light, Vector3& out) noexcept {
  const detail::DefaultFloatEnvironment environment;
  detail::formulas::light_direction(point, light, out);
}

float dot_product(const Vector3& a, const Vector3& b) noexcept {
  const detail::DefaultFloatEnvironment environment;
  return detail::formulas::dot_product(a, b);
}

void received_energy(const Vector3& point, const PointLight& light, Vector3& out) noexcept {
  const detail::DefaultFloatEnvironment environment;
  detail::formulas::received_energy(point, light, out);
}

void diffused_energy(const Vector3& point, const Vector3& normal, const Vector3& reflectance,
                     const PointLight& light, Vector3& out) noexcept {
  const detail::DefaultFloatEnvironment environment;
  detail::formulas::diffused_energy(point, normal, reflectance, light, out);
}

}  // namespace lighting
