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
// taken as pow(x, 0.5) (but see the two flavours below). No input is validated: degenerate input
// yields IEEE infinities or NaN (a NaN's sign and payload are not part of the contract).
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
// flags the call raised, are in place again when the call returns.
//
// Two flavours. The functions of namespace lighting take the root as
// pow(s, 0.5) from the C library, whose last bit differs between C libraries
// and processor variants for some inputs (glibc with and without FMA, musl,
// x87 pows on 32-bit x86 and mingw-w64). Namespace lighting::portable (at the
// end) holds the same functions with the same formulas, orders and rounding
// points, except that the root is the correctly rounded one, IEEE sqrt: its
// results are the same bits on every platform.
#pragma once

#include <span>
#include <string_view>
#include <vector>

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

// Batches: many points under one light in one call, on the widest SIMD unit
// the processor offers.
//
// Each element of out holds exactly the bits the scalar function above gives
// for that element (a NaN matches any NaN), whatever the processor, the
// dispatch target, the caller's floating-point environment (installed once
// per call, as the scalar functions do) and the caller's compiler flags. Only
// the exception flags a batch raises may differ from those of the scalar
// calls it stands for.
//
// Spans of different sizes throw std::invalid_argument naming both sizes.
// out may be exactly the points span (shading in place); any other overlap of
// out with an input throws std::invalid_argument. Nothing is written when an
// exception is thrown, and nothing outside the spans is read or written. An
// empty batch does nothing.

// out[i] = received_energy(points[i], light)
void received_energy(std::span<const Vector3> points, const PointLight& light,
                     std::span<Vector3> out);

// out[i] = diffused_energy(points[i], normal, reflectance, light): one plane, many points.
void diffused_energy(std::span<const Vector3> points, const Vector3& normal,
                     const Vector3& reflectance, const PointLight& light, std::span<Vector3> out);

// out[i] = diffused_energy(points[i], normals[i], reflectances[i], light)
void diffused_energy(std::span<const Vector3> points, std::span<const Vector3> normals,
                     std::span<const Vector3> reflectances, const PointLight& light,
                     std::span<Vector3> out);

// The eight operations of one flavour as addresses, for code that chooses the
// flavour at run time: operations() holds the functions above,
// portable::operations() those of the portable flavour. The C interface, the
// Python module and the tests reach both flavours through these tables, so a
// new operation is added to the formulas, to this record and to the table.
struct Operations {
  float (*light_distance)(const Vector3& point, const PointLight& light) noexcept;
  void (*light_direction)(const Vector3& point, const PointLight& light, Vector3& out) noexcept;
  float (*dot_product)(const Vector3& a, const Vector3& b) noexcept;
  void (*received_energy)(const Vector3& point, const PointLight& light, Vector3& out) noexcept;
  void (*diffused_energy)(const Vector3& point, const Vector3& normal, const Vector3& reflectance,
                          const PointLight& light, Vector3& out) noexcept;
  void (*received_energy_batch)(std::span<const Vector3> points, const PointLight& light,
                                std::span<Vector3> out);
  void (*diffused_energy_batch)(std::span<const Vector3> points, const Vector3& normal,
                                const Vector3& reflectance, const PointLight& light,
                                std::span<Vector3> out);
  void (*diffused_energy_batch_each)(std::span<const Vector3> points,
                                     std::span<const Vector3> normals,
                                     std::span<const Vector3> reflectances, const PointLight& light,
                                     std::span<Vector3> out);
};

const Operations& operations() noexcept;

// The SIMD target the batches use ("avx512", "avx2", "sse4", "neon", "sve",
// "scalar", ...), and every target this processor can run. The environment
// variable LIGHTING_BATCH_TARGET, read once, restricts the batches to one of
// the available targets by name; an unknown or unavailable name is ignored.
// The bits never depend on the target.
std::string_view batch_target() noexcept;
std::vector<std::string_view> batch_targets();

// The portable flavour: the functions above with the correctly rounded root
// in place of pow(s, 0.5), so that every platform gives the same bits. The
// batches follow the same contract against the scalar functions of this
// namespace.
namespace portable {

float light_distance(const Vector3& point, const PointLight& light) noexcept;
void light_direction(const Vector3& point, const PointLight& light, Vector3& out) noexcept;
float dot_product(const Vector3& a, const Vector3& b) noexcept;
void received_energy(const Vector3& point, const PointLight& light, Vector3& out) noexcept;
void diffused_energy(const Vector3& point, const Vector3& normal, const Vector3& reflectance,
                     const PointLight& light, Vector3& out) noexcept;

void received_energy(std::span<const Vector3> points, const PointLight& light,
                     std::span<Vector3> out);
void diffused_energy(std::span<const Vector3> points, const Vector3& normal,
                     const Vector3& reflectance, const PointLight& light, std::span<Vector3> out);
void diffused_energy(std::span<const Vector3> points, std::span<const Vector3> normals,
                     std::span<const Vector3> reflectances, const PointLight& light,
                     std::span<Vector3> out);

const Operations& operations() noexcept;

}  // namespace portable

}  // namespace lighting
