// The five lighting operations, in both flavours. Each reads like its
// formula: the order of the operations and the places where a double is
// rounded to float are what fix the result's bits, so they are written out
// rather than left to helpers.
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

namespace {

// The root of a sum of squares. The pow flavour uses the power function, as
// the library is defined; the portable flavour the correctly rounded root,
// which IEEE sqrt is on every platform (a sum of squares is never negative
// or -0, and sqrt(+inf) and sqrt(NaN) are what pow gives too).
template <Flavour flavour>
double root(double sum_of_squares) noexcept {
  if constexpr (flavour == Flavour::pow) {
    return std::pow(sum_of_squares, 0.5);
  } else {
    return std::sqrt(sum_of_squares);
  }
}

// The vector from the point to the light and the root of its sum of squares.
// Point minus light (light_distance) and light minus point (light_direction)
// square to the same sum, since a difference and its negation round alike, so
// one root serves as the distance (rounded to float) and as the direction's
// length (kept in double): diffused_energy, which needs both, takes it once.
struct TowardsLight {
  double dx, dy, dz, length;
};

template <Flavour flavour>
TowardsLight towards_light(const Vector3& point, const PointLight& light) noexcept {
  const double dx = double(light.position.x) - double(point.x);
  const double dy = double(light.position.y) - double(point.y);
  const double dz = double(light.position.z) - double(point.z);
  return {dx, dy, dz, root<flavour>((dx * dx + dy * dy) + dz * dz)};
}

// out.c = (falloff * intensity) * colour.c with falloff = float((1/d)/d).
//
// For a float d, d*d is exact in double, and float((1/d)/d) equals
// float(1/(d*d)) for every positive float d, so one division by d*d would
// give the same bits; the two divisions stay because they are the
// definition, and written so the code needs no such argument to match it.
void received_from_distance(float distance, const PointLight& light, Vector3& out) noexcept {
  const float falloff = to_float((1.0 / double(distance)) / double(distance));
  const double scale = double(falloff) * double(light.intensity);
  out.x = to_float(scale * double(light.r));
  out.y = to_float(scale * double(light.g));
  out.z = to_float(scale * double(light.b));
}

// (a.y*b.y + a.x*b.x) + a.z*b.z, rounded once. Forced inline into
// diffused_energy, where GCC otherwise leaves it a call of its own.
[[gnu::always_inline]] inline float dot(const Vector3& a, const Vector3& b) noexcept {
  const double y_term = double(a.y) * double(b.y);
  const double x_term = double(a.x) * double(b.x);
  const double z_term = double(a.z) * double(b.z);
  return to_float((y_term + x_term) + z_term);
}

void direction_from(const TowardsLight& towards, Vector3& out) noexcept {
  out.x = to_float(towards.dx / towards.length);
  out.y = to_float(towards.dy / towards.length);
  out.z = to_float(towards.dz / towards.length);
}

}  // namespace

template <Flavour flavour>
float light_distance(const Vector3& point, const PointLight& light) noexcept {
  return to_float(towards_light<flavour>(point, light).length);
}

template <Flavour flavour>
void light_direction(const Vector3& point, const PointLight& light, Vector3& out) noexcept {
  direction_from(towards_light<flavour>(point, light), out);
}

float dot_product(const Vector3& a, const Vector3& b) noexcept {
  return dot(a, b);
}

template <Flavour flavour>
void received_energy(const Vector3& point, const PointLight& light, Vector3& out) noexcept {
  received_from_distance(formulas::light_distance<flavour>(point, light), light, out);
}

template <Flavour flavour>
void diffused_energy(const Vector3& point, const Vector3& normal, const Vector3& reflectance,
                     const PointLight& light, Vector3& out) noexcept {
  const TowardsLight towards = towards_light<flavour>(point, light);
  Vector3 received;
  received_from_distance(to_float(towards.length), light, received);
  Vector3 direction;
  direction_from(towards, direction);
  // A surface facing away from the light diffuses nothing.
  const float cosine = clamp_negative_cosine(dot(direction, normal));
  out.x = to_float((double(received.x) * double(cosine)) * double(reflectance.x));
  out.y = to_float((double(received.y) * double(cosine)) * double(reflectance.y));
  out.z = to_float((double(received.z) * double(cosine)) * double(reflectance.z));
}

}  // namespace formulas

#define LIGHTING_INSTANTIATE(FLAVOUR)                                                              \
  template float formulas::light_distance<FLAVOUR>(const Vector3&, const PointLight&) noexcept;    \
  template void formulas::light_direction<FLAVOUR>(const Vector3&, const PointLight&,              \
                                                   Vector3&) noexcept;                             \
  template void formulas::received_energy<FLAVOUR>(const Vector3&, const PointLight&,              \
                                                   Vector3&) noexcept;                             \
  template void formulas::diffused_energy<FLAVOUR>(const Vector3&, const Vector3&, const Vector3&, \
                                                   const PointLight&, Vector3&) noexcept;
LIGHTING_INSTANTIATE(Flavour::pow)
LIGHTING_INSTANTIATE(Flavour::portable)
#undef LIGHTING_INSTANTIATE

}  // namespace detail

// The public names of each flavour, lighting::f and lighting::portable::f:
// the formulas under the default floating-point environment.
#define LIGHTING_SCALAR_FUNCTIONS(FLAVOUR)                                                      \
  float light_distance(const Vector3& point, const PointLight& light) noexcept {                \
    const detail::DefaultFloatEnvironment environment;                                          \
    return detail::formulas::light_distance<FLAVOUR>(point, light);                             \
  }                                                                                             \
  void light_direction(const Vector3& point, const PointLight& light, Vector3& out) noexcept {  \
    const detail::DefaultFloatEnvironment environment;                                          \
    detail::formulas::light_direction<FLAVOUR>(point, light, out);                              \
  }                                                                                             \
  float dot_product(const Vector3& a, const Vector3& b) noexcept {                              \
    const detail::DefaultFloatEnvironment environment;                                          \
    return detail::formulas::dot_product(a, b);                                                 \
  }                                                                                             \
  void received_energy(const Vector3& point, const PointLight& light, Vector3& out) noexcept {  \
    const detail::DefaultFloatEnvironment environment;                                          \
    detail::formulas::received_energy<FLAVOUR>(point, light, out);                              \
  }                                                                                             \
  void diffused_energy(const Vector3& point, const Vector3& normal, const Vector3& reflectance, \
                       const PointLight& light, Vector3& out) noexcept {                        \
    const detail::DefaultFloatEnvironment environment;                                          \
    detail::formulas::diffused_energy<FLAVOUR>(point, normal, reflectance, light, out);         \
  }

LIGHTING_SCALAR_FUNCTIONS(detail::Flavour::pow)

namespace portable {
LIGHTING_SCALAR_FUNCTIONS(detail::Flavour::portable)
}  // namespace portable

#undef LIGHTING_SCALAR_FUNCTIONS

}  // namespace lighting
