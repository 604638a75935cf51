// The batch kernels on SIMD, compiled once per target by Highway's
// foreach_target.h, and the table that chooses between them at run time.
//
// Each lane follows the scalar formulas operation for operation: the same
// double products and sums in the same order, and a rounding to float
// (through an optimisation barrier) wherever the scalar code rounds. Two
// paths differ in how they obtain the four values that need a root or a
// division: the length, the three direction quotients and the falloff.
//
// The estimate path (AVX-512, AVX2, SSE4) takes no root and no division. A
// hardware estimate of 1/sqrt(s), refined by two Newton steps, gives the
// length, the quotients and the falloff by multiplications (batch_bounds.hpp
// gives the formulas and their error bounds). Each of the five doubles is
// rounded to float; a lane where one of them lies within its window of a
// float midpoint (the bound, in ulps) could round the other way in the
// scalar formulas, and is recomputed with them. So are the lanes outside the
// range the bounds cover: a sum of squares outside [2^-126, 2^126] (NaN and
// infinities included) or a tiny nonzero component. The windows of the pow
// flavour also cover pow(s, 0.5) being up to two ulps from the true root;
// those of the portable flavour only the estimate against IEEE sqrt and
// division. Blocks of several vectors are computed in lockstep, so that one
// vector's long chain from load to store overlaps the others'; and the
// common path asks only whether any lane of a block is undecided.
//
// The division path (every other target) divides and takes the vector
// square root, as the scalar formulas do. The portable flavour's root is
// the correctly rounded one, which the vector square root is too, so its
// lanes need no test. The pow flavour's scalar root is pow(s, 0.5): a lane
// whose length or quotient lies within kTieWindow double ulps of a float
// midpoint could depend on which of the two was used, and is recomputed.
// glibc's pow is within about 0.52 ulp of the root and sqrt within 0.5, so
// the two lengths are equal or adjacent and each quotient moves by about
// two ulps at most; 64 ulps is far more than needed and still cheap (one
// value in four million falls in it). Values in float's subnormal range
// are flagged too, the float spacing there being coarser than the test
// assumes.
//
// This file is built with -ffp-contract=off like the rest of the library:
// GCC fuses a product into a following sum across statements inside AVX2 and
// FMA target code otherwise. Highway's MulAdd is fused on some targets and
// not others; it is used only to refine the estimates, whose bounds hold
// either way, never in the formulas' own products and sums.

// NOLINTBEGIN: Highway's per-target re-inclusion needs this exact shape.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "batch_kernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// NOLINTEND
#include <hwy/highway.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "batch_bounds.hpp"
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

// Stores one vector's results, and over them those of the lanes in
// `undecided` (among the first `valid`), which recompute(i, result) takes
// from the scalar formulas. The scalar results are taken before the vector
// store: out may be the points themselves. The common case, no lane
// undecided, costs one test.
template <class Recompute>
HWY_INLINE void store_deciding(MaskD undecided, std::size_t valid, VecF x, VecF y, VecF z,
                               Vector3* out, Recompute recompute) {
  const DoubleTag d;
  undecided = hn::And(undecided, hn::FirstN(d, valid));
  if (HWY_LIKELY(hn::AllFalse(d, undecided))) {
    store_triples(x, y, z, out);
    return;
  }
  std::uint8_t bits[(kMaxLanes + 7) / 8 < 8 ? 8 : (kMaxLanes + 7) / 8] = {};
  hn::StoreMaskBits(d, undecided, bits);
  count_batch_fallback_lanes(hn::CountTrue(d, undecided));
  const auto is_undecided = [&bits](std::size_t lane) {
    return ((static_cast<unsigned>(bits[lane / 8]) >> (lane % 8)) & 1u) != 0;
  };
  Vector3 exact[kMaxLanes];
  for (std::size_t i = 0; i < valid; ++i) {
    if (is_undecided(i)) recompute(i, exact[i]);
  }
  store_triples(x, y, z, out);
  for (std::size_t i = 0; i < valid; ++i) {
    if (is_undecided(i)) out[i] = exact[i];
  }
}

// --- received energy -------------------------------------------------------

template <Flavour flavour>
HWY_INLINE void received_vector(const Vector3* points, std::size_t valid,
                                const LightValues& wide_light, const PointLight& light,
                                Vector3* out, bool check) {
  VecD dx, dy, dz, r, g, b;
  const auto length = towards_light(points, wide_light, dx, dy, dz);
  received_from(length, wide_light, r, g, b);
  if (!(check && flavour == Flavour::pow)) {
    store_triples(to_float(r), to_float(g), to_float(b), out);
    return;
  }
  store_deciding(near_float_tie(length), valid, to_float(r), to_float(g), to_float(b), out,
                 [&](std::size_t i, Vector3& exact) {
                   formulas::received_energy<flavour>(points[i], light, exact);
                 });
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

  if (!(check && flavour == Flavour::pow)) {
    store_triples(out_x, out_y, out_z, out + first);
    return;
  }
  const auto undecided = hn::Or(hn::Or(near_float_tie(length), near_float_tie(qx)),
                                hn::Or(near_float_tie(qy), near_float_tie(qz)));
  store_deciding(
      undecided, valid, out_x, out_y, out_z, out + first, [&](std::size_t i, Vector3& exact) {
        formulas::diffused_energy<flavour>(points[first + i], surface.scalar_normal_at(first + i),
                                           surface.scalar_reflectance_at(first + i), light, exact);
      });
}

// --- the estimate path -------------------------------------------------------
//
// x86 only, where vectors are sized types: blocks keep them in arrays.

#undef LIGHTING_ESTIMATE_PATH
#undef LIGHTING_ESTIMATE_MASKS
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
#define LIGHTING_ESTIMATE_PATH 1
#define LIGHTING_ESTIMATE_MASKS 1  // mask registers, vrsqrt14pd
#elif HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_SSE4
#define LIGHTING_ESTIMATE_PATH 1
#define LIGHTING_ESTIMATE_MASKS 0  // rsqrtps of the float, one quick test per block
#else
#define LIGHTING_ESTIMATE_PATH 0
#define LIGHTING_ESTIMATE_MASKS 0
#endif

constexpr bool kEstimatePath = LIGHTING_ESTIMATE_PATH != 0;

template <Flavour flavour>
constexpr bounds::Windows derived_windows() {
  return bounds::windows_of(LIGHTING_ESTIMATE_MASKS ? bounds::kAvx512<flavour>
                                                    : bounds::kRsqrtps<flavour>);
}

// The window as applied. With mask registers the test is one add and one
// vptestnmq, which needs the window widened to 2^k - 1.
[[maybe_unused]] constexpr std::int64_t applied_window(std::int64_t window) {
  if (!LIGHTING_ESTIMATE_MASKS) return window;
  std::int64_t span = 2;
  while (span < 2 * window + 2) span *= 2;
  return span / 2 - 1;
}

template <Flavour flavour>
constexpr BatchWindows applied_windows() {
  if constexpr (kEstimatePath) {
    constexpr bounds::Windows derived = derived_windows<flavour>();
    return {applied_window(derived.length), applied_window(derived.direction),
            applied_window(derived.falloff)};
  } else {
    return flavour == Flavour::pow ? BatchWindows{kTieWindow, kTieWindow, -1}
                                   : BatchWindows{-1, -1, -1};
  }
}

#if LIGHTING_ESTIMATE_PATH

using VecI = hn::Vec<IntTag>;

// x0 ~ 1/sqrt(s) for s in [2^-126, 2^126]: relative error below 2^-14
// (vrsqrt14pd) or about 1.5 * 2^-12 (rsqrtps of s rounded to float).
HWY_INLINE VecD reciprocal_root_estimate(VecD s) {
#if LIGHTING_ESTIMATE_MASKS
  return VecD{_mm512_rsqrt14_pd(s.raw)};
#else
  return to_double(hn::ApproximateReciprocalSqrt(hn::DemoteTo(FloatTag(), s)));
#endif
}

// One Newton step for 1/sqrt(s), half_s = s/2 (bounds::newton_step).
HWY_INLINE VecD newton_step(VecD half_s, VecD x) {
  const VecD a = hn::Mul(half_s, x);
  const VecD e = hn::NegMulAdd(a, x, hn::Set(DoubleTag(), 0.5));
  return hn::MulAdd(x, e, x);
}

// ~ 1/d^2 for the float distance d from x2 ~ 1/sqrt(s): with d x2 = 1 + t,
// 1/d^2 = x2^2 (1 + t)^-2, and |t| is about 2^-24, so three terms of the
// series suffice; the error of x2 cancels to first order.
HWY_INLINE VecD inverse_square(VecD distance, VecD x2) {
  const DoubleTag d;
  const VecD t = hn::MulSub(distance, x2, hn::Set(d, 1.0));
  const VecD c = hn::MulAdd(t, hn::Set(d, 3.0), hn::Set(d, -2.0));
  const VecD series = hn::MulAdd(t, c, hn::Set(d, 1.0));
  return hn::Mul(hn::Mul(x2, x2), series);
}

// A window test on the bits below float precision. A double rounds to float
// by its low 29 bits, and a float midpoint has exactly 2^28 there (as has
// the boundary between FLT_MAX and infinity); a midpoint of a neighbouring
// binade is at least 2^27 ulps away. A value y is flagged when
//   ((bits(y) + 2^28 + w) mod 2^29) <= 2w,
// with mask registers when ((bits(y) + 2^28 + w) & tested) == 0, for
// w = 2^k - 1 and tested = the bits 2^(k+1) to 2^28.
struct WindowTest {
  VecI add, limit;
  explicit WindowTest(std::int64_t window) {
    const IntTag di;
    window = applied_window(window);
    add = hn::Set(di, (std::int64_t{1} << 28) + window);
    limit = LIGHTING_ESTIMATE_MASKS ? hn::Set(di, ((std::int64_t{1} << 29) - 1) & ~(2 * window + 1))
                                    : hn::Set(di, 2 * window + 1);
  }
};

HWY_INLINE MaskD near_midpoint(VecD value, const WindowTest& window) {
  const IntTag di;
  const VecI shifted = hn::Add(hn::BitCast(di, value), window.add);
#if LIGHTING_ESTIMATE_MASKS
  return MaskD{_mm512_testn_epi64_mask(shifted.raw, window.limit.raw)};
#else
  const VecI low = hn::And(shifted, hn::Set(di, (std::int64_t{1} << 29) - 1));
  return hn::RebindMask(DoubleTag(), hn::Lt(low, window.limit));
#endif
}

// Lanes outside the estimate path's range: s outside [kMinSum, kMaxSum] (NaN
// included) and, with kTinyComponents, a component with 0 < dc^2 < 2^-122.
template <bool kTinyComponents>
HWY_INLINE MaskD outside_range(VecD s, VecD sx, VecD sy, VecD sz) {
  static_assert(bounds::kMinSum == 0x1p-126 && bounds::kMaxSum == 0x1p126 &&
                bounds::kMinComponentSquare == 0x1p-122);
#if LIGHTING_ESTIMATE_MASKS
  // Unsigned compares of bit patterns: positive doubles order as their bits,
  // and s has its sign bit set only as a NaN. A zero dc^2 minus one wraps to
  // the largest value.
  const __m512i low = _mm512_set1_epi64(std::int64_t{1023 - 126} << 52);
  const __m512i span = _mm512_set1_epi64(std::int64_t{126 + 126} << 52);
  const __mmask8 range =
      _mm512_cmpgt_epu64_mask(_mm512_sub_epi64(_mm512_castpd_si512(s.raw), low), span);
  if constexpr (!kTinyComponents) return MaskD{range};
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i smallest =
      _mm512_min_epu64(_mm512_min_epu64(_mm512_sub_epi64(_mm512_castpd_si512(sx.raw), one),
                                        _mm512_sub_epi64(_mm512_castpd_si512(sy.raw), one)),
                       _mm512_sub_epi64(_mm512_castpd_si512(sz.raw), one));
  const __mmask8 tiny =
      _mm512_cmplt_epu64_mask(smallest, _mm512_set1_epi64((std::int64_t{1023 - 122} << 52) - 1));
  return MaskD{static_cast<__mmask8>(range | tiny)};
#else
  const DoubleTag d;
  const MaskD inside =
      hn::And(hn::Ge(s, hn::Set(d, bounds::kMinSum)), hn::Le(s, hn::Set(d, bounds::kMaxSum)));
  if constexpr (!kTinyComponents) return hn::Not(inside);
  // dc^2 (dc^2 - 2^-122) < 0 exactly when 0 < dc^2 < 2^-122: dc^2 is 0 or at
  // least 2^-298, so the product does not underflow.
  const VecD tiny = hn::Set(d, bounds::kMinComponentSquare);
  const VecD tx = hn::Mul(sx, hn::Sub(sx, tiny));
  const VecD ty = hn::Mul(sy, hn::Sub(sy, tiny));
  const VecD tz = hn::Mul(sz, hn::Sub(sz, tiny));
  return hn::Or(hn::Not(inside), hn::Lt(hn::Min(hn::Min(tx, ty), tz), hn::Zero(d)));
#endif
}

// The tests of one call: the windows of its flavour, narrowed by the test
// hook, or none with the check off.
struct EstimateTests {
  bool windows;
  WindowTest length, direction, falloff;
#if !LIGHTING_ESTIMATE_MASKS
  // The quick test's windows, on the low 32 bits of two vectors packed in
  // one: the wider of the length's and the direction's, and the falloff's.
  VecI packed_add, packed_limit, packed_falloff_add, packed_falloff_limit;
#endif
  EstimateTests(const bounds::Windows& derived, bool check, unsigned shrink)
      : windows(check),
        length(derived.length >> shrink),
        direction(derived.direction >> shrink),
        falloff(derived.falloff >> shrink) {
#if !LIGHTING_ESTIMATE_MASKS
    const IntTag di;
    const auto pair = [](std::int64_t value) { return value | (value << 32); };
    const std::int64_t wider = std::max(derived.length, derived.direction) >> shrink;
    const std::int64_t fall = derived.falloff >> shrink;
    packed_add = hn::Set(di, pair((std::int64_t{1} << 28) + wider));
    packed_limit = hn::Set(di, pair(2 * wider + 1));
    packed_falloff_add = hn::Set(di, pair((std::int64_t{1} << 28) + fall));
    packed_falloff_limit = hn::Set(di, pair(2 * fall + 1));
#endif
  }
};

#if !LIGHTING_ESTIMATE_MASKS
// The quick test: all bits set in a 32-bit lane where the low half of a lane
// of a or b is within the window (lanes interleaved: only whether some lane
// is flagged matters).
HWY_INLINE VecI packed_near_midpoint(VecD a, VecD b, VecI add, VecI limit) {
#if HWY_TARGET == HWY_AVX2
  const __m256i low = _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castpd_ps(a.raw), _mm256_castpd_ps(b.raw), 0x88));
  const __m256i bits =
      _mm256_and_si256(_mm256_add_epi32(low, add.raw), _mm256_set1_epi32((1 << 29) - 1));
  return VecI{_mm256_cmpgt_epi32(limit.raw, bits)};
#else
  const __m128i low =
      _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(a.raw), _mm_castpd_ps(b.raw), 0x88));
  const __m128i bits = _mm_and_si128(_mm_add_epi32(low, add.raw), _mm_set1_epi32((1 << 29) - 1));
  return VecI{_mm_cmpgt_epi32(limit.raw, bits)};
#endif
}

// Sign bit set in lanes outside the range (outside_range): bits(s) -
// bits(kMinSum) negative or above the span; dc^2 (dc^2 - 2^-122) + 0
// negative (the + 0 makes a zero component's -0 a +0).
template <bool kTinyComponents>
HWY_INLINE VecI outside_range_signs(VecD s, VecD sx, VecD sy, VecD sz) {
  const IntTag di;
  const DoubleTag d;
  const VecI x = hn::Sub(hn::BitCast(di, s), hn::Set(di, std::int64_t{1023 - 126} << 52));
  const VecI range = hn::Or(x, hn::Sub(hn::Set(di, std::int64_t{126 + 126} << 52), x));
  if constexpr (!kTinyComponents) return range;
  const VecD tiny = hn::Set(d, bounds::kMinComponentSquare);
  const VecD tx = hn::Add(hn::Mul(hn::Sub(sx, tiny), sx), hn::Zero(d));
  const VecD ty = hn::Add(hn::Mul(hn::Sub(sy, tiny), sy), hn::Zero(d));
  const VecD tz = hn::Add(hn::Mul(hn::Sub(sz, tiny), sz), hn::Zero(d));
  return hn::Or(range, hn::BitCast(di, hn::Or(hn::Or(tx, ty), tz)));
}

HWY_INLINE bool all_clear(VecI flags) {
#if HWY_TARGET == HWY_AVX2
  return _mm256_testz_si256(flags.raw, flags.raw) != 0;
#else
  return _mm_testz_si128(flags.raw, flags.raw) != 0;
#endif
}
#endif  // !LIGHTING_ESTIMATE_MASKS

// The lanes of one vector that the vector path cannot decide, among the
// first `valid`: outside its range, or a tested value within its window of a
// float midpoint. The values are made again from the points by the same
// operations in the same order as estimate_block's, so they are the same
// bits; only a block in which some lane is undecided comes here.
template <bool kDiffuse, bool kTinyComponents>
HWY_NOINLINE MaskD undecided_lanes(const Vector3* points, std::size_t valid,
                                   const LightValues& wide_light, const EstimateTests& tests) {
  const DoubleTag d;
  VecD x, y, z;
  load_triples(points, x, y, z);
  const VecD dx = hn::Sub(hn::Set(d, wide_light.position.x), x);
  const VecD dy = hn::Sub(hn::Set(d, wide_light.position.y), y);
  const VecD dz = hn::Sub(hn::Set(d, wide_light.position.z), z);
  const VecD sx = hn::Mul(dx, dx);
  const VecD sy = hn::Mul(dy, dy);
  const VecD sz = hn::Mul(dz, dz);
  const VecD s = hn::Add(hn::Add(sx, sy), sz);
  const VecD half_s = hn::Mul(s, hn::Set(d, 0.5));
  VecD x2 = reciprocal_root_estimate(s);
  x2 = newton_step(half_s, x2);
  x2 = newton_step(half_s, x2);
  const VecD length = hn::Mul(s, x2);
  const VecD falloff = inverse_square(through_float(length), x2);
  MaskD lanes = outside_range < kDiffuse && kTinyComponents > (s, sx, sy, sz);
  if (tests.windows) {
    lanes = hn::Or(
        lanes, hn::Or(near_midpoint(length, tests.length), near_midpoint(falloff, tests.falloff)));
    if constexpr (kDiffuse) {
      lanes = hn::Or(lanes, hn::Or(near_midpoint(hn::Mul(dx, x2), tests.direction),
                                   hn::Or(near_midpoint(hn::Mul(dy, x2), tests.direction),
                                          near_midpoint(hn::Mul(dz, x2), tests.direction))));
    }
  }
  return hn::And(lanes, hn::FirstN(d, valid));
}

#define LIGHTING_EACH _Pragma("GCC unroll 8") for (int k = 0; k < K; ++k)

// K vectors of points in lockstep (each step written for all K before the
// next), from points[first] and surface's elements at first; `valid` counts
// the real points when K is 1 (the rest are copies of the last). kDiffuse:
// the diffused energy, else the received energy.
//
// Whether some lane of the block is undecided is gathered as the values are
// made, so that none of them has to live to the end of the block: with mask
// registers as one mask, else as sign bits and window flags on the low
// halves of two vectors at once. Only when one is does undecided_lanes find
// which.
template <Flavour flavour, bool kDiffuse, bool kTinyComponents, int K, class Surface>
HWY_INLINE void estimate_block(const Vector3* points, const Surface& surface, std::size_t first,
                               std::size_t valid, const LightValues& wide_light,
                               const PointLight& light, const EstimateTests& tests, Vector3* out) {
  const DoubleTag d;
  const FloatTag df;
  const std::size_t lanes = hn::Lanes(d);
  constexpr bool kComponentTest = kDiffuse && kTinyComponents;
#if LIGHTING_ESTIMATE_MASKS
  MaskD any_undecided = hn::FirstN(d, 0);
#else
  const IntTag di;
  VecI signs = hn::Zero(di);
  VecI flags = hn::Zero(di);
#endif
  VecD dx[K], dy[K], dz[K], s[K];
  LIGHTING_EACH {
    VecD x, y, z;
    load_triples(points + first + k * lanes, x, y, z);
    // Towards the light, as light_direction; the squares are light_distance's.
    dx[k] = hn::Sub(hn::Set(d, wide_light.position.x), x);
    dy[k] = hn::Sub(hn::Set(d, wide_light.position.y), y);
    dz[k] = hn::Sub(hn::Set(d, wide_light.position.z), z);
  }
  LIGHTING_EACH {
    const VecD sx = hn::Mul(dx[k], dx[k]);
    const VecD sy = hn::Mul(dy[k], dy[k]);
    const VecD sz = hn::Mul(dz[k], dz[k]);
    s[k] = hn::Add(hn::Add(sx, sy), sz);
#if LIGHTING_ESTIMATE_MASKS
    any_undecided = hn::Or(any_undecided, outside_range<kComponentTest>(s[k], sx, sy, sz));
#else
    signs = hn::Or(signs, outside_range_signs<kComponentTest>(s[k], sx, sy, sz));
#endif
  }
  VecD x2[K], length[K], falloff[K];
  {
    VecD half_s[K];
    LIGHTING_EACH half_s[k] = hn::Mul(s[k], hn::Set(d, 0.5));
    LIGHTING_EACH x2[k] = reciprocal_root_estimate(s[k]);
    LIGHTING_EACH x2[k] = newton_step(half_s[k], x2[k]);
    LIGHTING_EACH x2[k] = newton_step(half_s[k], x2[k]);
  }
  LIGHTING_EACH length[k] = hn::Mul(s[k], x2[k]);
  LIGHTING_EACH falloff[k] = inverse_square(through_float(length[k]), x2[k]);
  if (tests.windows) {
#if LIGHTING_ESTIMATE_MASKS
    LIGHTING_EACH any_undecided = hn::Or(
        any_undecided,
        hn::Or(near_midpoint(length[k], tests.length), near_midpoint(falloff[k], tests.falloff)));
#else
    for (int k = 0; k < K; k += 2) {
      const int next = k + 1 < K ? k + 1 : k;
      flags =
          hn::Or(flags, packed_near_midpoint(falloff[k], falloff[next], tests.packed_falloff_add,
                                             tests.packed_falloff_limit));
      if constexpr (!kDiffuse) {
        flags = hn::Or(flags, packed_near_midpoint(length[k], length[next], tests.packed_add,
                                                   tests.packed_limit));
      }
    }
#endif
  }
  VecD received[3][K];
  LIGHTING_EACH {
    const VecD scale = hn::Mul(through_float(falloff[k]), hn::Set(d, wide_light.intensity));
    received[0][k] = hn::Mul(scale, hn::Set(d, wide_light.r));
    received[1][k] = hn::Mul(scale, hn::Set(d, wide_light.g));
    received[2][k] = hn::Mul(scale, hn::Set(d, wide_light.b));
  }
  VecF result[3][K];
  if constexpr (kDiffuse) {
    LIGHTING_EACH {
      const VecD qx = hn::Mul(dx[k], x2[k]);
      const VecD qy = hn::Mul(dy[k], x2[k]);
      const VecD qz = hn::Mul(dz[k], x2[k]);
      if (tests.windows) {
#if LIGHTING_ESTIMATE_MASKS
        any_undecided = hn::Or(any_undecided, hn::Or(near_midpoint(qx, tests.direction),
                                                     hn::Or(near_midpoint(qy, tests.direction),
                                                            near_midpoint(qz, tests.direction))));
#else
        flags = hn::Or(
            flags, hn::Or(packed_near_midpoint(length[k], qx, tests.packed_add, tests.packed_limit),
                          packed_near_midpoint(qy, qz, tests.packed_add, tests.packed_limit)));
#endif
      }
      const VecD ux = through_float(qx);
      const VecD uy = through_float(qy);
      const VecD uz = through_float(qz);
      VecD nx, ny, nz;
      surface.normal_at(first + k * lanes, nx, ny, nz);
      const VecD dot = hn::Add(hn::Add(hn::Mul(uy, ny), hn::Mul(ux, nx)), hn::Mul(uz, nz));
      VecF cosine = to_float(dot);
      // Only a strictly negative cosine becomes +0; -0 and NaN pass
      // unchanged (see clamp_negative_cosine: the compare reads the cosine,
      // the result is an opaque copy, so no max instruction can stand in).
      const VecF unchanged = opaque(cosine);
      cosine = hn::IfThenElse(hn::Lt(cosine, hn::Zero(df)), hn::Zero(df), unchanged);
      const VecD cosine_d = to_double(cosine);
      VecD rx, ry, rz;
      surface.reflectance_at(first + k * lanes, rx, ry, rz);
      result[0][k] = to_float(hn::Mul(hn::Mul(through_float(received[0][k]), cosine_d), rx));
      result[1][k] = to_float(hn::Mul(hn::Mul(through_float(received[1][k]), cosine_d), ry));
      result[2][k] = to_float(hn::Mul(hn::Mul(through_float(received[2][k]), cosine_d), rz));
    }
  } else {
    LIGHTING_EACH {
      result[0][k] = to_float(received[0][k]);
      result[1][k] = to_float(received[1][k]);
      result[2][k] = to_float(received[2][k]);
    }
  }
  const auto store_all = [&] {
    LIGHTING_EACH store_triples(result[0][k], result[1][k], result[2][k], out + first + k * lanes);
  };
#if LIGHTING_ESTIMATE_MASKS
  const bool none = hn::AllFalse(d, any_undecided);
#else
  const hn::RebindToUnsigned<IntTag> du;
  const bool none =
      all_clear(hn::Or(flags, hn::BitCast(di, hn::ShiftRight<63>(hn::BitCast(du, signs)))));
#endif
  if (HWY_LIKELY(none)) {
    store_all();
    return;
  }

  // The scalar formulas for the undecided lanes, before the stores (out may
  // be points itself), then written over the vector results.
  std::uint8_t bits[K][8] = {};
  for (int k = 0; k < K; ++k) {
    const MaskD undecided = undecided_lanes<kDiffuse, kTinyComponents>(
        points + first + k * lanes, K == 1 ? valid : lanes, wide_light, tests);
    hn::StoreMaskBits(d, undecided, bits[k]);
  }
  const auto is_undecided = [&bits, lanes](std::size_t i) {
    const std::size_t lane = i % lanes;
    return ((bits[i / lanes][lane / 8] >> (lane % 8)) & 1u) != 0;
  };
  const std::size_t count = K == 1 ? valid : K * lanes;
  Vector3 exact[K * kMaxLanes];
  std::uint64_t recomputed = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!is_undecided(i)) continue;
    ++recomputed;
    if constexpr (kDiffuse) {
      formulas::diffused_energy<flavour>(points[first + i], surface.scalar_normal_at(first + i),
                                         surface.scalar_reflectance_at(first + i), light, exact[i]);
    } else {
      formulas::received_energy<flavour>(points[first + i], light, exact[i]);
    }
  }
  count_batch_fallback_lanes(recomputed);
  store_all();
  for (std::size_t i = 0; i < count; ++i) {
    if (is_undecided(i)) out[first + i] = exact[i];
  }
}

#undef LIGHTING_EACH

// Vectors per block: 8 measured best on Zen 4 for every width (4 was about
// 10% slower on AVX-512 and 15% on AVX2).
constexpr int kBlock = 8;

// Blocks of kBlock vectors, then single vectors, then the last partial
// vector through local copies padded with its last point (tail_copies
// returns the points and surface to use for it), so that nothing outside the
// spans is read or written.
template <Flavour flavour, bool kDiffuse, bool kTinyComponents, class Surface, class TailCopies>
void estimate_loop(const Vector3* points, std::size_t count, const Surface& surface,
                   const PointLight& light, Vector3* out, bool check, TailCopies tail_copies) {
  const LightValues wide_light = light_values(light);
  const EstimateTests tests(derived_windows<flavour>(), check, batch_window_shrink());
  const std::size_t lanes = hn::Lanes(DoubleTag());
  std::size_t first = 0;
  for (; first + kBlock * lanes <= count; first += kBlock * lanes) {
    estimate_block<flavour, kDiffuse, kTinyComponents, kBlock>(points, surface, first, lanes,
                                                               wide_light, light, tests, out);
  }
  for (; first + lanes <= count; first += lanes) {
    estimate_block<flavour, kDiffuse, kTinyComponents, 1>(points, surface, first, lanes, wide_light,
                                                          light, tests, out);
  }
  if (first < count) {
    const std::size_t valid = count - first;
    tail_copies(first, valid, [&](const Vector3* tail_points, const auto& tail_surface) {
      Vector3 result[kMaxLanes];
      estimate_block<flavour, kDiffuse, kTinyComponents, 1>(tail_points, tail_surface, 0, valid,
                                                            wide_light, light, tests, result);
      for (std::size_t i = 0; i < valid; ++i) out[first + i] = result[i];
    });
  }
}

// Whether a light coordinate allows a component with 0 < |dc| < 2^-61
// (bounds::kLightCoordinateNeedingComponentTest): the loop tests components
// only then.
inline bool needs_component_test(const PointLight& light) {
  const auto small = [](float c) {
    return !(c >= bounds::kLightCoordinateNeedingComponentTest ||
             c <= -bounds::kLightCoordinateNeedingComponentTest);
  };
  return small(light.position.x) || small(light.position.y) || small(light.position.z);
}

#endif  // LIGHTING_ESTIMATE_PATH

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
#if LIGHTING_ESTIMATE_PATH
  const OnePlane no_plane{};
  const auto tail_copies = [&](std::size_t first, std::size_t valid, auto shade) {
    const TailCopy in(points + first, valid);
    shade(in.values, no_plane);
  };
  estimate_loop<flavour, false, false>(points, count, no_plane, light, out, check, tail_copies);
#else
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
#endif
}

template <Flavour flavour>
void diffused_energy_one_plane_kernel(const Vector3* points, std::size_t count,
                                      const Vector3& normal, const Vector3& reflectance,
                                      const PointLight& light, Vector3* out, bool check) {
  const OnePlane plane{widen(normal), widen(reflectance), &normal, &reflectance};
#if LIGHTING_ESTIMATE_PATH
  const auto tail_copies = [&](std::size_t first, std::size_t valid, auto shade) {
    const TailCopy in(points + first, valid);
    shade(in.values, plane);
  };
  if (needs_component_test(light)) {
    estimate_loop<flavour, true, true>(points, count, plane, light, out, check, tail_copies);
  } else {
    estimate_loop<flavour, true, false>(points, count, plane, light, out, check, tail_copies);
  }
#else
  const LightValues wide_light = light_values(light);
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
#endif
}

template <Flavour flavour>
void diffused_energy_kernel(const Vector3* points, const Vector3* normals,
                            const Vector3* reflectances, std::size_t count, const PointLight& light,
                            Vector3* out, bool check) {
  const PerPoint surfaces{normals, reflectances};
#if LIGHTING_ESTIMATE_PATH
  const auto tail_copies = [&](std::size_t first, std::size_t valid, auto shade) {
    const TailCopy in(points + first, valid);
    const TailCopy in_normals(normals + first, valid);
    const TailCopy in_reflectances(reflectances + first, valid);
    shade(in.values, PerPoint{in_normals.values, in_reflectances.values});
  };
  if (needs_component_test(light)) {
    estimate_loop<flavour, true, true>(points, count, surfaces, light, out, check, tail_copies);
  } else {
    estimate_loop<flavour, true, false>(points, count, surfaces, light, out, check, tail_copies);
  }
#else
  const LightValues wide_light = light_values(light);
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
#endif
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
       &diffused_energy_kernel<Flavour::pow>, applied_windows<Flavour::pow>(), kEstimatePath},
      {&received_energy_kernel<Flavour::portable>,
       &diffused_energy_one_plane_kernel<Flavour::portable>,
       &diffused_energy_kernel<Flavour::portable>, applied_windows<Flavour::portable>(),
       kEstimatePath},
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
