// The library's formulas, shared by the public scalar functions and by the
// batch functions, whose vector kernel falls back to these same formulas for
// the lanes it cannot decide itself. They run under whatever floating-point
// environment is current: the public entry points install the default one
// once per call, so formulas that build on others do not pay for it again.
#pragma once

#include <lighting/lighting.hpp>

namespace lighting::detail {

// The one place a double becomes a float: storing into a record or returning.
//
// The empty asm makes the float an opaque value the optimiser has to produce
// and cannot look through. GCC 12 at -O3, after inlining received_energy into
// diffused_energy, vectorises the channel products and keeps the received
// energy in double, skipping its rounding to float; the barrier stops that.
inline float to_float(double value) noexcept {
  float rounded = static_cast<float>(value);
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  asm("" : "+x"(rounded));  // an SSE register holding the float
#elif defined(__GNUC__) && defined(__aarch64__)
  asm("" : "+w"(rounded));  // a SIMD/FP register holding the float
#elif defined(__GNUC__)
  asm("" : "+m"(rounded));  // a float in memory
#endif
  return rounded;
}

namespace formulas {

float light_distance(const Vector3& point, const PointLight& light) noexcept;
void light_direction(const Vector3& point, const PointLight& light, Vector3& out) noexcept;
float dot_product(const Vector3& a, const Vector3& b) noexcept;
void received_energy(const Vector3& point, const PointLight& light, Vector3& out) noexcept;
void diffused_energy(const Vector3& point, const Vector3& normal, const Vector3& reflectance,
                     const PointLight& light, Vector3& out) noexcept;

}  // namespace formulas

}  // namespace lighting::detail
