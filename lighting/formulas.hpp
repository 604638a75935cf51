// The library's formulas, shared by the public scalar functions and by the
// batch functions, whose vector kernel falls back to these same formulas for
// the lanes it cannot decide itself. They run under whatever floating-point
// environment is current: the public entry points install the default one
// once per call, so formulas that build on others do not pay for it again.
#pragma once

#include <lighting/lighting.hpp>

#include <bit>
#include <cstdint>

namespace lighting::detail {

// The two flavours differ only in the square root: `pow` takes pow(s, 0.5)
// from the C library, whose last bit differs between C libraries and
// processors; `portable` takes the correctly rounded root, IEEE sqrt, which
// every platform computes alike.
enum class Flavour { pow, portable };

// The value, as a register the optimiser has to produce and cannot look
// through: an empty asm that claims to change it.
inline float opaque(float value) noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  asm("" : "+x"(value));  // an SSE register holding the float
#elif defined(__GNUC__) && defined(__aarch64__)
  asm("" : "+w"(value));  // a SIMD/FP register holding the float
#elif defined(__GNUC__)
  asm("" : "+m"(value));  // a float in memory
#endif
  return value;
}

// The one place a double becomes a float: storing into a record or returning.
//
// GCC 12 at -O3, after inlining received_energy into diffused_energy,
// vectorises the channel products and keeps the received energy in double,
// skipping its rounding to float; the opaque float stops that.
inline float to_float(double value) noexcept {
  return opaque(static_cast<float>(value));
}

// A strictly negative cosine becomes +0; -0 and NaN pass unchanged.
//
// The cosine's sign is as likely one way as the other across a surface, so a
// branch here would be mispredicted half the time: the value is masked
// instead, all zero bits (+0) where it is negative. And no floating-point
// select is left that a compiler could make a max instruction, which returns
// +0 for -0 (Clang does so for AArch64 and WebAssembly): the comparison reads
// the value, and the mask applies to an opaque copy of it.
inline float clamp_negative_cosine(float cosine) noexcept {
  const float unchanged = opaque(cosine);
  const std::uint32_t keep = cosine < 0.0f ? 0u : ~0u;
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(unchanged) & keep);
}

namespace formulas {

template <Flavour flavour>
float light_distance(const Vector3& point, const PointLight& light) noexcept;
template <Flavour flavour>
void light_direction(const Vector3& point, const PointLight& light, Vector3& out) noexcept;
float dot_product(const Vector3& a, const Vector3& b) noexcept;
template <Flavour flavour>
void received_energy(const Vector3& point, const PointLight& light, Vector3& out) noexcept;
template <Flavour flavour>
void diffused_energy(const Vector3& point, const Vector3& normal, const Vector3& reflectance,
                     const PointLight& light, Vector3& out) noexcept;

}  // namespace formulas

}  // namespace lighting::detail
