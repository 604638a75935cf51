// The batch kernels on SIMD, compiled once per target by Highway's
// foreach_target.h, and the table that chooses between them at run time.
//
// Each lane follows the scalar formulas operation for operation: the same
// double products, sums and divisions in the same order, and a rounding to
// float (through an optimisation barrier) wherever the scalar code rounds.
// The one difference is the square root in the pow flavour: the scalar code
// takes pow(s, 0.5), the kernel the vector square root, and a lane whose
// result could depend on which of the two was used is recomputed with the
// scalar formulas. The portable flavour's root is the correctly rounded one,
// which the vector square root is too, so its lanes need no such test.
//
// Why that is enough. glibc's pow(s, 0.5) is within about 0.52 ulp of the
// true root and sqrt within 0.5, so the two doubles are equal or adjacent.
// A length one ulp off moves each direction quotient d/len by at most about
// two ulps. The float results change only if one of those doubles (the
// length, rounded to the distance, and the three quotients, rounded to the
// direction) crosses the midpoint between two floats, that is, lies within a
// few double ulps of it. Every later value is computed from those four
// floats, so if they agree everything agrees. The kernel flags a lane whose
// length or quotient lies within kTieWindow double ulps of a float midpoint,
// a window far wider than the few ulps needed (a platform pow a little less
// accurate is still covered), and still cheap: a value falls in it with
// probability (2 * 64 + 1) / 2^29, about one lane in four million per value.
// Values in float's subnormal range (nonzero and below 2^-126), where the
// float spacing is coarser than the bit test assumes, are flagged too.
//
// This file is built with -ffp-contract=off like the rest of the library:
// GCC fuses a product into a following sum across statements inside AVX2 and
// FMA target code otherwise. Highway's MulAdd is fused on some targets and
// not others, so it is never used.

// NOLINTBEGIN: Highway's per-target re-inclusion needs this exact shape.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "batch_kernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// NOLINTEND
#include <hwy/highway.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "batch_kernel.hpp"
#include "formulas.hpp"

#ifndef LIGHTING_BATCH_KERNEL_ONCE
#define LIGHTING_BATCH_KERNEL_ONCE
static_assert(sizeof(lighting::Vector3) == 3 * sizeof(float),
              "Vector3 must be three packed floats");
#endif

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

// How many double ulps either side of a float midpoint count as a near tie.
constexpr std::int64_t kTieWindow = 64;

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

// Lanes whose value, rounded to float, might round the other way if it were
// a few ulps off: within kTieWindow ulps of a float midpoint (the low 29 of
// the 52 fraction bits near 2^28; the same pattern marks the boundary
// between FLT_MAX and infinity), or nonzero in float's subnormal range.
HWY_INLINE MaskD near_float_tie(VecD value) {
  const DoubleTag d;
  const IntTag di;
  const auto low_bits = hn::And(hn::BitCast(di, value), hn::Set(di, (std::int64_t{1} << 29) - 1));
  const auto offset = hn::Sub(low_bits, hn::Set(di, (std::int64_t{1} << 28) - kTieWindow));
  const auto in_window =
      hn::And(hn::Gt(offset, hn::Set(di, -1)), hn::Lt(offset, hn::Set(di, 2 * kTieWindow + 1)));
  const auto subnormal =
      hn::And(hn::Lt(hn::Abs(value), hn::Set(d, 0x1p-126)), hn::Ne(value, hn::Zero(d)));
  return hn::Or(hn::RebindMask(d, in_window), subnormal);
}

// SVE's vector types have no size known to the compiler, so they cannot be
// members of records or elements of arrays: everything below keeps vectors in
// local variables, parameters and return values only, groups of them passed
// as separate references, and the light and the one plane as plain doubles
// that each vector function broadcasts. Those doubles are the kernel's own
// copies, never handed to the scalar fallback, so the compiler can keep the
// broadcasts out of the loops. One code path serves every target.

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

// The vector from the points to the light and its length (the square root
// standing in for pow(s, 0.5)). Point minus light squares to the same sums.
HWY_INLINE VecD towards_light(const Vector3* points, const LightValues& light, VecD& dx, VecD& dy,
                              VecD& dz) {
  const DoubleTag d;
  VecD x, y, z;
  load_triples(points, x, y, z);
  dx = hn::Sub(hn::Set(d, light.position.x), x);
  dy = hn::Sub(hn::Set(d, light.position.y), y);
  dz = hn::Sub(hn::Set(d, light.position.z), z);
  const auto sum = hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz));
  return hn::Sqrt(sum);
}

// received = (falloff * intensity) * colour, falloff = float((1 / d) / d);
// each channel already rounded to float.
HWY_INLINE void received_from(VecD length, const LightValues& light, VecD& r, VecD& g, VecD& b) {
  const DoubleTag d;
  const auto distance = through_float(length);
  const auto falloff = through_float(hn::Div(hn::Div(hn::Set(d, 1.0), distance), distance));
  const auto scale = hn::Mul(falloff, hn::Set(d, light.intensity));
  r = through_float(hn::Mul(scale, hn::Set(d, light.r)));
  g = through_float(hn::Mul(scale, hn::Set(d, light.g)));
  b = through_float(hn::Mul(scale, hn::Set(d, light.b)));
}

// The lanes of one vector the kernel could not decide, as a bit set
// (StoreMaskBits may write up to 8 bytes).
struct Ties {
  bool any = false;
  std::uint8_t bits[(kMaxLanes + 7) / 8 < 8 ? 8 : (kMaxLanes + 7) / 8] = {};
};

HWY_INLINE Ties ties_of(MaskD mask, std::size_t valid, bool check) {
  const DoubleTag d;
  Ties ties;
  if (!check) return ties;
  mask = hn::And(mask, hn::FirstN(d, valid));
  if (hn::AllFalse(d, mask)) return ties;
  ties.any = true;
  hn::StoreMaskBits(d, mask, ties.bits);
  count_batch_fallback_lanes(hn::CountTrue(d, mask));
  return ties;
}

HWY_INLINE bool is_tie(const Ties& ties, std::size_t lane) {
  return ((static_cast<unsigned>(ties.bits[lane / 8]) >> (lane % 8)) & 1u) != 0;
}

// --- received energy -------------------------------------------------------

template <Flavour flavour>
HWY_INLINE void received_vector(const Vector3* points, std::size_t valid,
                                const LightValues& wide_light, const PointLight& light,
                                Vector3* out, bool check) {
  VecD dx, dy, dz, r, g, b;
  const auto length = towards_light(points, wide_light, dx, dy, dz);
  received_from(length, wide_light, r, g, b);
  const Ties ties = ties_of(near_float_tie(length), valid, check && flavour == Flavour::pow);
  // The scalar results first: out may be points itself.
  Vector3 exact[kMaxLanes];
  if (ties.any) {
    for (std::size_t i = 0; i < valid; ++i) {
      if (is_tie(ties, i)) formulas::received_energy<flavour>(points[i], light, exact[i]);
    }
  }
  store_triples(to_float(r), to_float(g), to_float(b), out);
  if (ties.any) {
    for (std::size_t i = 0; i < valid; ++i) {
      if (is_tie(ties, i)) out[i] = exact[i];
    }
  }
}

// --- diffused energy -------------------------------------------------------

// The per-point inputs of diffused_energy: one plane's normal and
// reflectance for every point, or one of each per point.
// The plane's vectors are broadcast from copies in doubles that never leave
// the kernel, so that the compiler can keep them in registers across the
// scalar calls of the fallback, which see only the caller's records.
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

  HWY_INLINE static void broadcast(const DoubleTriple& value, VecD& x, VecD& y, VecD& z) {
    const DoubleTag d;
    x = hn::Set(d, value.x);
    y = hn::Set(d, value.y);
    z = hn::Set(d, value.z);
  }
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

template <Flavour flavour, class Surface>
HWY_INLINE void diffused_vector(const Vector3* points, const Surface& surface, std::size_t first,
                                std::size_t valid, const LightValues& wide_light,
                                const PointLight& light, Vector3* out, bool check) {
  const FloatTag df;
  VecD dx, dy, dz, received_r, received_g, received_b;
  const auto length = towards_light(points + first, wide_light, dx, dy, dz);
  received_from(length, wide_light, received_r, received_g, received_b);

  const auto qx = hn::Div(dx, length);
  const auto qy = hn::Div(dy, length);
  const auto qz = hn::Div(dz, length);
  const auto ux = through_float(qx);
  const auto uy = through_float(qy);
  const auto uz = through_float(qz);

  VecD nx, ny, nz;
  surface.normal_at(first, nx, ny, nz);
  const auto dot = hn::Add(hn::Add(hn::Mul(uy, ny), hn::Mul(ux, nx)), hn::Mul(uz, nz));
  VecF cosine = to_float(dot);
  // Only a strictly negative cosine becomes +0; -0 and NaN pass unchanged.
  // The comparison reads the cosine and the result is an opaque copy of it,
  // so that no compiler can make the select a max, which would turn -0 into
  // +0 (as Clang does for the scalar code on AArch64 and WebAssembly).
  const VecF unchanged = opaque(cosine);
  cosine = hn::IfThenElse(hn::Lt(cosine, hn::Zero(df)), hn::Zero(df), unchanged);
  const auto cosine_d = to_double(cosine);

  VecD rx, ry, rz;
  surface.reflectance_at(first, rx, ry, rz);
  const auto out_x = to_float(hn::Mul(hn::Mul(received_r, cosine_d), rx));
  const auto out_y = to_float(hn::Mul(hn::Mul(received_g, cosine_d), ry));
  const auto out_z = to_float(hn::Mul(hn::Mul(received_b, cosine_d), rz));

  const auto undecided = hn::Or(hn::Or(near_float_tie(length), near_float_tie(qx)),
                                hn::Or(near_float_tie(qy), near_float_tie(qz)));
  const Ties ties = ties_of(undecided, valid, check && flavour == Flavour::pow);
  Vector3 exact[kMaxLanes];
  if (ties.any) {
    for (std::size_t i = 0; i < valid; ++i) {
      if (!is_tie(ties, i)) continue;
      formulas::diffused_energy<flavour>(points[first + i], surface.scalar_normal_at(first + i),
                                         surface.scalar_reflectance_at(first + i), light, exact[i]);
    }
  }
  store_triples(out_x, out_y, out_z, out + first);
  if (ties.any) {
    for (std::size_t i = 0; i < valid; ++i) {
      if (is_tie(ties, i)) out[first + i] = exact[i];
    }
  }
}

// --- the loops -------------------------------------------------------------

// Runs shade(first, valid, out) over whole vectors, two at a time so that the
// long divisions and conversions of one overlap the other's, then over the
// last partial vector through local copies padded with the last point, so
// that nothing outside the spans is read or written. copy_tail(from, count,
// points, normals, reflectances) fills the local inputs.
// The whole-vector lambdas are forced inline: GCC kept them out of line, so
// each vector paid a call and a copy of the plane's lanes to the stack, and
// the loop ran about a quarter slower on AVX2.
template <class Shade, class ShadeTail>
HWY_INLINE void for_each_vector(std::size_t count, Shade shade, ShadeTail shade_tail) {
  const std::size_t lanes = hn::Lanes(DoubleTag());
  std::size_t first = 0;
  for (; first + 2 * lanes <= count; first += 2 * lanes) {
    shade(first, lanes);
    shade(first + lanes, lanes);
  }
  for (; first + lanes <= count; first += lanes) shade(first, lanes);
  if (first < count) shade_tail(first, count - first);
}

// A partial vector's inputs, copied and padded to a whole vector.
struct TailCopy {
  Vector3 values[kMaxLanes];
  HWY_INLINE TailCopy(const Vector3* from, std::size_t count) {
    const std::size_t lanes = hn::Lanes(DoubleTag());
    for (std::size_t i = 0; i < lanes; ++i) values[i] = from[i < count ? i : count - 1];
  }
};

template <Flavour flavour>
void received_energy_kernel(const Vector3* points, std::size_t count, const PointLight& light,
                            Vector3* out, bool check) {
  const LightValues wide_light = light_values(light);
  for_each_vector(
      count,
      [&](std::size_t first, std::size_t valid) __attribute__((always_inline)) {
        received_vector<flavour>(points + first, valid, wide_light, light, out + first, check);
      },
      [&](std::size_t first, std::size_t valid) {
        const TailCopy in(points + first, valid);
        Vector3 result[kMaxLanes];
        received_vector<flavour>(in.values, valid, wide_light, light, result, check);
        for (std::size_t i = 0; i < valid; ++i) out[first + i] = result[i];
      });
}

template <Flavour flavour>
void diffused_energy_one_plane_kernel(const Vector3* points, std::size_t count,
                                      const Vector3& normal, const Vector3& reflectance,
                                      const PointLight& light, Vector3* out, bool check) {
  const LightValues wide_light = light_values(light);
  const OnePlane plane{widen(normal), widen(reflectance), &normal, &reflectance};
  for_each_vector(
      count,
      [&](std::size_t first, std::size_t valid) __attribute__((always_inline)) {
        diffused_vector<flavour>(points, plane, first, valid, wide_light, light, out, check);
      },
      [&](std::size_t first, std::size_t valid) {
        const TailCopy in(points + first, valid);
        Vector3 result[kMaxLanes];
        diffused_vector<flavour>(in.values, plane, 0, valid, wide_light, light, result, check);
        for (std::size_t i = 0; i < valid; ++i) out[first + i] = result[i];
      });
}

template <Flavour flavour>
void diffused_energy_kernel(const Vector3* points, const Vector3* normals,
                            const Vector3* reflectances, std::size_t count, const PointLight& light,
                            Vector3* out, bool check) {
  const LightValues wide_light = light_values(light);
  const PerPoint surfaces{normals, reflectances};
  for_each_vector(
      count,
      [&](std::size_t first, std::size_t valid) __attribute__((always_inline)) {
        diffused_vector<flavour>(points, surfaces, first, valid, wide_light, light, out, check);
      },
      [&](std::size_t first, std::size_t valid) {
        const TailCopy in(points + first, valid);
        const TailCopy in_normals(normals + first, valid);
        const TailCopy in_reflectances(reflectances + first, valid);
        const PerPoint tail{in_normals.values, in_reflectances.values};
        Vector3 result[kMaxLanes];
        diffused_vector<flavour>(in.values, tail, 0, valid, wide_light, light, result, check);
        for (std::size_t i = 0; i < valid; ++i) out[first + i] = result[i];
      });
}

double divider_floor_kernel(const Vector3* points, std::size_t count) {
  const DoubleTag d;
  const std::size_t lanes = hn::Lanes(d);
  const auto divide = [points](std::size_t first) {
    VecD x, y, z;
    load_triples(points + first, x, y, z);
    const auto length = hn::Sqrt(x);
    const auto falloff = hn::Div(hn::Div(hn::Set(DoubleTag(), 1.0), length), length);
    const auto u = hn::Add(hn::Add(hn::Div(x, length), hn::Div(y, length)), hn::Div(z, length));
    return hn::Add(falloff, u);
  };
  auto sum_a = hn::Zero(d);
  auto sum_b = hn::Zero(d);
  std::size_t first = 0;
  for (; first + 2 * lanes <= count; first += 2 * lanes) {
    sum_a = hn::Add(sum_a, divide(first));
    sum_b = hn::Add(sum_b, divide(first + lanes));
  }
  for (; first + lanes <= count; first += lanes) sum_a = hn::Add(sum_a, divide(first));
  return hn::GetLane(hn::SumOfLanes(d, hn::Add(sum_a, sum_b)));
}

}  // namespace

const BatchKernels* batch_kernels_of_target() {
  static constexpr BatchKernels kKernels{
      target_name(),
      {&received_energy_kernel<Flavour::pow>, &diffused_energy_one_plane_kernel<Flavour::pow>,
       &diffused_energy_kernel<Flavour::pow>},
      {&received_energy_kernel<Flavour::portable>,
       &diffused_energy_one_plane_kernel<Flavour::portable>,
       &diffused_energy_kernel<Flavour::portable>},
      &divider_floor_kernel};
  return &kKernels;
}

}  // namespace lighting::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lighting::detail {

HWY_EXPORT(batch_kernels_of_target);

namespace {

// The table of one compiled target, or null if it was not compiled.
const BatchKernels* kernels_of(std::int64_t target) noexcept {
  switch (target) {
#define LIGHTING_TARGET_CASE(TARGET, NAMESPACE) \
  case TARGET:                                  \
    return NAMESPACE::batch_kernels_of_target();
#if HWY_TARGETS & HWY_AVX3_DL
    LIGHTING_TARGET_CASE(HWY_AVX3_DL, N_AVX3_DL)
#endif
#if HWY_TARGETS & HWY_AVX3
    LIGHTING_TARGET_CASE(HWY_AVX3, N_AVX3)
#endif
#if HWY_TARGETS & HWY_AVX2
    LIGHTING_TARGET_CASE(HWY_AVX2, N_AVX2)
#endif
#if HWY_TARGETS & HWY_SSE4
    LIGHTING_TARGET_CASE(HWY_SSE4, N_SSE4)
#endif
#if HWY_TARGETS & HWY_SSSE3
    LIGHTING_TARGET_CASE(HWY_SSSE3, N_SSSE3)
#endif
#if HWY_TARGETS & HWY_SVE2_128
    LIGHTING_TARGET_CASE(HWY_SVE2_128, N_SVE2_128)
#endif
#if HWY_TARGETS & HWY_SVE_256
    LIGHTING_TARGET_CASE(HWY_SVE_256, N_SVE_256)
#endif
#if HWY_TARGETS & HWY_SVE2
    LIGHTING_TARGET_CASE(HWY_SVE2, N_SVE2)
#endif
#if HWY_TARGETS & HWY_SVE
    LIGHTING_TARGET_CASE(HWY_SVE, N_SVE)
#endif
#if HWY_TARGETS & HWY_NEON
    LIGHTING_TARGET_CASE(HWY_NEON, N_NEON)
#endif
#if HWY_TARGETS & HWY_EMU128
    LIGHTING_TARGET_CASE(HWY_EMU128, N_EMU128)
#endif
#if HWY_TARGETS & HWY_SCALAR
    LIGHTING_TARGET_CASE(HWY_SCALAR, N_SCALAR)
#endif
#undef LIGHTING_TARGET_CASE
    default:
      return nullptr;
  }
}

const BatchKernels* find_available(std::string_view name) noexcept {
  const BatchKernels* tables[64];
  const std::size_t count = available_batch_targets(tables, 64);
  for (std::size_t i = 0; i < count; ++i) {
    if (tables[i]->name == name) return tables[i];
  }
  return nullptr;
}

// The normal choice, made once: LIGHTING_BATCH_TARGET if it names an
// available target, else Highway's own dispatch (the best one here).
const BatchKernels& chosen_kernels() noexcept {
  static const BatchKernels* const chosen = [] {
    const char* requested = std::getenv("LIGHTING_BATCH_TARGET");
    if (requested != nullptr) {
      if (const BatchKernels* kernels = find_available(requested)) return kernels;
    }
    // Highway 1.0.3 records its choice inside SupportedTargets before adding
    // the targets of one vector length (sve_256, sve2_128), and keeps that
    // record if SupportedTargets ran before the first dispatch (as
    // batch_targets() does): record the full set again.
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    return HWY_DYNAMIC_DISPATCH(batch_kernels_of_target)();
  }();
  return *chosen;
}

std::atomic<const BatchKernels*> override_kernels{nullptr};

}  // namespace

std::size_t available_batch_targets(const BatchKernels** tables, std::size_t capacity) noexcept {
  std::size_t count = 0;
  // Lower bits are better targets.
  for (std::int64_t targets = hwy::SupportedTargets() & HWY_TARGETS; targets != 0;
       targets &= targets - 1) {
    const BatchKernels* kernels = kernels_of(targets & -targets);
    if (kernels != nullptr && count < capacity) tables[count++] = kernels;
  }
  return count;
}

const BatchKernels& batch_kernels() noexcept {
  const BatchKernels* forced = override_kernels.load(std::memory_order_acquire);
  return forced != nullptr ? *forced : chosen_kernels();
}

bool use_batch_target(std::string_view name) noexcept {
  if (name.empty()) {
    override_kernels.store(nullptr, std::memory_order_release);
    return true;
  }
  const BatchKernels* kernels = find_available(name);
  if (kernels == nullptr) return false;
  override_kernels.store(kernels, std::memory_order_release);
  return true;
}

}  // namespace lighting::detail

#endif  // HWY_ONCE
