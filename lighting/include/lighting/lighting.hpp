// Point-light shading with reproducible bits.
//
// A point light (position, colour, intensity) lights a surface point (normal,
// per-channel reflectance). The library computes the energy received at the
// point (inverse-square falloff) and the energy the point diffuses (Lambert's
// cosine law, clamped at zero, times the reflectance).
//
// Numeric contract. Every record field and every scalar result is an IEEE 754
// single-precision float; every expression is evaluated in double precision
// in the order written in the comments below, and a value is rounded to float
// only where it is stored into a record field or returned. Square roots are
// taken as pow(x, 0.5). No input is validated: degenerate input yields IEEE
// infinities or NaN (a NaN's sign and payload are not part of the contract).
//
// What is guaranteed. The functions are compiled in the library's own source
// file, never inline here, with floating-point contraction off, math-errno on,
// no fast-math and no link-time optimisation, so the caller's compiler, flags
// (-O0 to -O3, -march=native, -ffp-contract=fast, -ffast-math, -flto) and
// build type cannot move a rounding point. Each call also runs under the
// default floating-point environment (round to nearest, subnormals honoured,
// exceptions masked), whatever the caller has set: a program linked with
// -ffast-math starts with flush-to-zero on, which would otherwise change the
// results for subnormal inputs. The caller's environment, and the exception
// flags the call raised, are in place again when the call returns. The one
// platform-dependent input is the C library's pow, whose last bit may differ
// between C libraries and processor variants in rare cases.
#pragma once

namespace lighting {

// A point, a normal, a unit direction, a reflectance or an energy triple
// (x red, y green, z blue). No invariant: a normal need not be of unit length.
struct Vector3 {
  float x;
  float y;
  float z;
};

// Colour and intensity stay separate: no operation folds them into one value.
struct PointLight {
  Vector3 position;
  float r;
  float g;
  float b;
  float intensity;
};

// pow(((p.x - l.x)^2 + (p.y - l.y)^2) + (p.z - l.z)^2, 0.5), rounded once.
float light_distance(const Vector3& point, const PointLight& light) noexcept;

// (l - p) / length, with the length kept in double precision; each component
// is rounded once. A point at the light's position gives NaN components.
void light_direction(const Vector3& point, const PointLight& light, Vector3& out) noexcept;

// (a.y*b.y + a.x*b.x) + a.z*b.z, rounded once.
float dot_product(const Vector3& a, const Vector3& b) noexcept;

// falloff = float((1 / d) / d) for d = light_distance(point, light);
// out.c = (falloff * intensity) * colour.c for each channel.
void received_energy(const Vector3& point, const PointLight& light, Vector3& out) noexcept;

// E = received_energy(point, light), u = light_direction(point, light),
// cosine = dot_product(u, normal), raised to +0 if strictly negative (NaN and
// -0 pass unchanged); out.c = (E.c * cosine) * reflectance.c. The normal is
// used as given: its length scales the result.
void diffused_energy(const Vector3& point, const Vector3& normal, const Vector3& reflectance,
                     const PointLight& light, Vector3& out) noexcept;

}  // namespace lighting
