// What every SIMD target's batch kernel shares, compiled once per target
// (included from batch_kernel.cpp under Highway's foreach_target.h): the
// vector types, the conversions and loads, the surface a batch shades, the
// lane formulas of received and diffused energy once their root-dependent
// values are known, the near-midpoint test, the loop over blocks of vectors
// and the store that puts the scalar formulas' results over the lanes a
// kernel could not decide. The two root policies that use
// them are batch_divide-inl.h and batch_estimate-inl.h; docs/batch-kernel.md
// derives both.

// Per-target include guard: this header is included once per target.
#if defined(LIGHTING_BATCH_LANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LIGHTING_BATCH_LANES_INL_H_
#undef LIGHTING_BATCH_LANES_INL_H_
#else
#define LIGHTING_BATCH_LANES_INL_H_
#endif

#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "batch_kernel.hpp"
#include "formulas.hpp"

HWY_BEFORE_NAMESPACE();
namespace lighting::detail::HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

using DoubleTag = hn::ScalableTag<double>;
using FloatTag = hn::Rebind<float, DoubleTag>;
using IntTag = hn::RebindToSigned<DoubleTag>;
using VecD = hn::Vec<DoubleTag>;
using VecF = hn::Vec<FloatTag>;
using MaskD = hn::Mask<DoubleTag>;

// The most lanes a vector of doubles can have on this target.
constexpr std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);

constexpr std::string_view target_name() {
#if HWY_TARGET == HWY_AVX3_DL
  return "avx512_dl";
#elif HWY_TARGET == HWY_AVX3
  return "avx512";
#elif HWY_TARGET == HWY_AVX2
  return "avx2";
#elif HWY_TARGET == HWY_SSE4
  return "sse4";
#elif HWY_TARGET == HWY_SSSE3
  return "ssse3";
#elif HWY_TARGET == HWY_SVE2_128
  return "sve2_128";
#elif HWY_TARGET == HWY_SVE_256
  return "sve_256";
#elif HWY_TARGET == HWY_SVE2
  return "sve2";
#elif HWY_TARGET == HWY_SVE
  return "sve";
#elif HWY_TARGET == HWY_NEON
  return "neon";
#elif HWY_TARGET == HWY_EMU128
  return "emu128";
#elif HWY_TARGET == HWY_SCALAR
  return "scalar";
#else
  return "other";
#endif
}

// An empty asm that makes a rounded float vector opaque, so that the
// compiler cannot fold the double-float-double round trip away (GCC 12 does
// so inside the SCALAR target, as it did in the scalar library).
template <class V>
HWY_INLINE V opaque(V v) {
#if HWY_TARGET == HWY_SCALAR
#if HWY_ARCH_X86
  asm("" : "+x"(v.raw));
#elif HWY_ARCH_ARM_A64
  asm("" : "+w"(v.raw));
#else
  asm("" : "+m"(v.raw));
#endif
#elif HWY_TARGET == HWY_EMU128
  asm("" : "+m"(v.raw));
#elif HWY_ARCH_X86
  asm("" : "+v"(v.raw));
#elif HWY_TARGET == HWY_NEON
  asm("" : "+w"(v.raw));
#elif HWY_TARGET & (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)
  asm("" : "+w"(v));
#endif
  return v;
}

// double -> float, rounded to nearest like a C++ conversion. Highway's
// DemoteTo on the portable targets saturates infinities and out-of-range
// values to +-FLT_MAX; those targets convert lane by lane instead.
HWY_INLINE VecF to_float(VecD value) {
  const FloatTag df;
#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
  const DoubleTag d;
  HWY_ALIGN double wide[kMaxLanes];
  HWY_ALIGN float narrow[kMaxLanes];
  hn::Store(value, d, wide);
  for (std::size_t i = 0; i < hn::Lanes(d); ++i) narrow[i] = static_cast<float>(wide[i]);
  return opaque(hn::Load(df, narrow));
#else
  return opaque(hn::DemoteTo(df, value));
#endif
}

HWY_INLINE VecD to_double(VecF value) {
  return hn::PromoteTo(DoubleTag(), value);
}

// A float rounded from value and back.
HWY_INLINE VecD through_float(VecD value) {
  return to_double(to_float(value));
}

// SVE's vector types have no size known to the compiler, so they cannot be
// members of records or elements of arrays: the code shared by every target
// keeps vectors in local variables, parameters and return values only, and
// the light and the one plane as plain doubles that each vector function
// broadcasts. Those doubles are the kernel's own copies, never handed to the
// scalar fallback, so the compiler can keep the broadcasts out of the loops.

HWY_INLINE void load_triples(const Vector3* values, VecD& x, VecD& y, VecD& z) {
  const FloatTag df;
  VecF x_float, y_float, z_float;
  hn::LoadInterleaved3(df, reinterpret_cast<const float*>(values), x_float, y_float, z_float);
  x = to_double(x_float);
  y = to_double(y_float);
  z = to_double(z_float);
}

HWY_INLINE void store_triples(VecF x, VecF y, VecF z, Vector3* out) {
  hn::StoreInterleaved3(x, y, z, FloatTag(), reinterpret_cast<float*>(out));
}

// A float triple widened to double, as the scalar code reads it.
struct DoubleTriple {
  double x, y, z;
};

DoubleTriple widen(const Vector3& value) {
  return {double(value.x), double(value.y), double(value.z)};
}

// The light in doubles.
struct LightValues {
  DoubleTriple position;
  double intensity, r, g, b;
};

LightValues light_values(const PointLight& light) {
  return {widen(light.position), double(light.intensity), double(light.r), double(light.g),
          double(light.b)};
}

// The light as a kernel takes it: its own copy in doubles for the vectors,
// and the caller's record for the scalar fallback.
struct KernelLight {
  LightValues wide;
  const PointLight& scalar;
};

HWY_INLINE void broadcast(const DoubleTriple& value, VecD& x, VecD& y, VecD& z) {
  const DoubleTag d;
  x = hn::Set(d, value.x);
  y = hn::Set(d, value.y);
  z = hn::Set(d, value.z);
}

// light - point for one vector of points: towards the light, as
// light_direction; the squares are light_distance's too.
HWY_INLINE void towards_light(const Vector3* points, const LightValues& light, VecD& dx, VecD& dy,
                              VecD& dz) {
  const DoubleTag d;
  VecD x, y, z;
  load_triples(points, x, y, z);
  dx = hn::Sub(hn::Set(d, light.position.x), x);
  dy = hn::Sub(hn::Set(d, light.position.y), y);
  dz = hn::Sub(hn::Set(d, light.position.z), z);
}

// (dx*dx + dy*dy) + dz*dz
HWY_INLINE VecD sum_of_squares(VecD dx, VecD dy, VecD dz) {
  return hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz));
}

// --- the lane formulas -------------------------------------------------------
//
// received_energy and diffused_energy of formulas.hpp, lane by lane, from the
// values a root policy provides: the falloff float((1/d)/d) and the direction
// quotients dc / length. Each rounding to float is the scalar code's.

// (falloff * intensity) * colour, not yet rounded; falloff is a float.
HWY_INLINE void scaled_colour(VecD falloff, const LightValues& light, VecD& r, VecD& g, VecD& b) {
  const DoubleTag d;
  const VecD scale = hn::Mul(falloff, hn::Set(d, light.intensity));
  r = hn::Mul(scale, hn::Set(d, light.r));
  g = hn::Mul(scale, hn::Set(d, light.g));
  b = hn::Mul(scale, hn::Set(d, light.b));
}

// float(dot(u, n)) with u the quotients rounded to float, raised to +0 when
// strictly negative, in double. -0 and NaN pass unchanged: the comparison
// reads the cosine and the result is an opaque copy of it, so that no
// compiler can make the select a max, which would turn -0 into +0 (as Clang
// does for the scalar code on AArch64 and WebAssembly).
HWY_INLINE VecD clamped_cosine(VecD qx, VecD qy, VecD qz, VecD nx, VecD ny, VecD nz) {
  const FloatTag df;
  const VecD ux = through_float(qx);
  const VecD uy = through_float(qy);
  const VecD uz = through_float(qz);
  const VecD dot = hn::Add(hn::Add(hn::Mul(uy, ny), hn::Mul(ux, nx)), hn::Mul(uz, nz));
  const VecF cosine = to_float(dot);
  const VecF unchanged = opaque(cosine);
  return to_double(hn::IfThenElse(hn::Lt(cosine, hn::Zero(df)), hn::Zero(df), unchanged));
}

// float((received * cosine) * reflectance), received already a float.
HWY_INLINE VecF diffused_channel(VecD received, VecD cosine, VecD reflectance) {
  return to_float(hn::Mul(hn::Mul(received, cosine), reflectance));
}

// --- near float midpoints ----------------------------------------------------
//
// A double rounds to float by its low 29 fraction bits, and a float midpoint
// has exactly 2^28 there (as has the boundary between FLT_MAX and infinity);
// a midpoint of a neighbouring binade is at least 2^27 ulps away. So a value
// y lies within w double ulps of a float midpoint, and might round the other
// way were it a few ulps off, when
//   ((bits(y) + 2^28 + w) mod 2^29) <= 2w.
// The sum is taken unsigned, where wrapping is defined on every target.
HWY_INLINE MaskD near_float_midpoint(VecD value, std::int64_t window) {
  const DoubleTag d;
  const IntTag di;
  const hn::RebindToUnsigned<DoubleTag> du;
  const auto shifted = hn::Add(hn::BitCast(du, value),
                               hn::Set(du, (std::uint64_t{1} << 28) + std::uint64_t(window)));
  const auto low = hn::BitCast(di, hn::And(shifted, hn::Set(du, (std::uint64_t{1} << 29) - 1)));
  return hn::RebindMask(d, hn::Lt(low, hn::Set(di, 2 * window + 1)));
}

// --- the surface -------------------------------------------------------------

// The per-point inputs of diffused_energy: one plane's normal and
// reflectance for every point, or one of each per point. The plane's
// vectors are broadcast from copies in doubles that never leave the kernel,
// so that the compiler can keep them in registers across the scalar calls
// of the fallback, which see only the caller's records.
struct OnePlane {
  DoubleTriple normal, reflectance;
  const Vector3* scalar_normal;
  const Vector3* scalar_reflectance;
  HWY_INLINE void normal_at(std::size_t, VecD& x, VecD& y, VecD& z) const {
    broadcast(normal, x, y, z);
  }
  HWY_INLINE void reflectance_at(std::size_t, VecD& x, VecD& y, VecD& z) const {
    broadcast(reflectance, x, y, z);
  }
  HWY_INLINE const Vector3& scalar_normal_at(std::size_t) const { return *scalar_normal; }
  HWY_INLINE const Vector3& scalar_reflectance_at(std::size_t) const { return *scalar_reflectance; }
};

struct PerPoint {
  const Vector3* normals;
  const Vector3* reflectances;
  HWY_INLINE void normal_at(std::size_t first, VecD& x, VecD& y, VecD& z) const {
    load_triples(normals + first, x, y, z);
  }
  HWY_INLINE void reflectance_at(std::size_t first, VecD& x, VecD& y, VecD& z) const {
    load_triples(reflectances + first, x, y, z);
  }
  HWY_INLINE const Vector3& scalar_normal_at(std::size_t i) const { return normals[i]; }
  HWY_INLINE const Vector3& scalar_reflectance_at(std::size_t i) const { return reflectances[i]; }
};

OnePlane one_plane(const Vector3& normal, const Vector3& reflectance) {
  return {widen(normal), widen(reflectance), &normal, &reflectance};
}

// --- the last partial vector -------------------------------------------------

// A partial vector's inputs, copied and padded with the last one to a whole
// vector, so that nothing outside the spans is read.
struct TailCopy {
  Vector3 values[kMaxLanes];
  HWY_INLINE TailCopy(const Vector3* from, std::size_t count) {
    const std::size_t lanes = hn::Lanes(DoubleTag());
    for (std::size_t i = 0; i < lanes; ++i) values[i] = from[i < count ? i : count - 1];
  }
};

// The surface of a partial vector: the plane itself, or copies of the
// per-point records.
struct OnePlaneTail {
  OnePlane plane;
  HWY_INLINE const OnePlane& surface() const { return plane; }
};
HWY_INLINE OnePlaneTail tail_of(const OnePlane& plane, std::size_t, std::size_t) {
  return {plane};
}

struct PerPointTail {
  TailCopy normals, reflectances;
  HWY_INLINE PerPoint surface() const { return {normals.values, reflectances.values}; }
};
HWY_INLINE PerPointTail tail_of(const PerPoint& surfaces, std::size_t first, std::size_t valid) {
  return {TailCopy(surfaces.normals + first, valid),
          TailCopy(surfaces.reflectances + first, valid)};
}

// The `valid` points from points[first] on, fewer than a vector: shade(points,
// surface, out) runs on padded copies, writing a whole vector of results to a
// local array, and the valid ones are copied out, so that nothing outside the
// spans is written either.
template <class Surface, class Shade>
HWY_INLINE void shade_tail(const Vector3* points, const Surface& surface, std::size_t first,
                           std::size_t valid, Vector3* out, Shade shade) {
  const TailCopy tail_points(points + first, valid);
  const auto tail_surface = tail_of(surface, first, valid);
  Vector3 result[kMaxLanes];
  shade(tail_points.values, tail_surface.surface(), result);
  for (std::size_t i = 0; i < valid; ++i) out[first + i] = result[i];
}

// --- the loop ----------------------------------------------------------------

// Every point, over a root policy: blocks of kBlock whole vectors, then single
// vectors, then the last partial vector on padded copies. A block lets one
// vector's long chain of divisions or estimates overlap the others'.
// policy.shade<K>(points, surface, first, valid, light, out) shades K vectors
// from points[first] and writes their results to out[first]; `valid` counts
// the real points when K is 1 (the rest are padding), and is a whole vector
// otherwise.
template <int kBlock, class Surface, class Policy>
HWY_INLINE void shade_blocks(const Vector3* points, std::size_t count, const Surface& surface,
                             const PointLight& light, const Policy& policy, Vector3* out) {
  const KernelLight kernel_light{light_values(light), light};
  const std::size_t lanes = hn::Lanes(DoubleTag());
  std::size_t first = 0;
  for (; first + kBlock * lanes <= count; first += kBlock * lanes) {
    policy.template shade<kBlock>(points, surface, first, lanes, kernel_light, out);
  }
  for (; first + lanes <= count; first += lanes) {
    policy.template shade<1>(points, surface, first, lanes, kernel_light, out);
  }
  if (first < count) {
    const std::size_t valid = count - first;
    shade_tail(points, surface, first, valid, out,
               [&](const Vector3* tail_points, const auto& tail_surface, Vector3* result) {
                 policy.template shade<1>(tail_points, tail_surface, 0, valid, kernel_light,
                                          result);
               });
  }
}

// --- the scalar fallback -----------------------------------------------------

// The scalar formulas for point i, which a kernel could not decide.
template <Flavour flavour, bool kDiffuse, class Surface>
HWY_INLINE void exact_result(const Vector3* points, const Surface& surface, std::size_t i,
                             const PointLight& light, Vector3& result) {
  if constexpr (kDiffuse) {
    formulas::diffused_energy<flavour>(points[i], surface.scalar_normal_at(i),
                                       surface.scalar_reflectance_at(i), light, result);
  } else {
    formulas::received_energy<flavour>(points[i], light, result);
  }
}

// Stores a kernel's vector results with store_all(), and over them the scalar
// results of the points first + i (i < count) for which undecided(i) holds.
// The scalar results are taken before the vector store: out may be the
// points themselves.
template <Flavour flavour, bool kDiffuse, std::size_t kCapacity, class Surface, class Undecided,
          class StoreAll>
HWY_INLINE void store_with_fallback(Undecided undecided, std::size_t count, const Vector3* points,
                                    const Surface& surface, std::size_t first,
                                    const PointLight& light, Vector3* out, StoreAll store_all) {
  Vector3 exact[kCapacity];
  std::uint64_t recomputed = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!undecided(i)) continue;
    ++recomputed;
    exact_result<flavour, kDiffuse>(points, surface, first + i, light, exact[i]);
  }
  count_batch_fallback_lanes(recomputed);
  store_all();
  for (std::size_t i = 0; i < count; ++i) {
    if (undecided(i)) out[first + i] = exact[i];
  }
}

}  // namespace
}  // namespace lighting::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // LIGHTING_BATCH_LANES_INL_H_
