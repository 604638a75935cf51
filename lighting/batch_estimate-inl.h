// The estimate root policy, x86 only (AVX-512, AVX2, SSE4), compiled once
// per target: no root and no division. A hardware estimate of 1/sqrt(s),
// refined by two Newton steps, gives the length, the quotients and the
// falloff by multiplications (batch_bounds.hpp gives the formulas and their
// error bounds; docs/batch-kernel.md derives them). Each of the five doubles
// is rounded to float; a lane where one of them lies within its window of a
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
// Highway's MulAdd is fused on some targets and not others; it is used only
// to refine the estimates, whose bounds hold either way, never in the
// formulas' own products and sums. The masks and intrinsics of AVX-512 and
// the quick tests of AVX2 and SSE4 are here too; on every other target this
// header defines only LIGHTING_ESTIMATE_PATH 0.

// Per-target include guard: this header is included once per target.
#if defined(LIGHTING_BATCH_ESTIMATE_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LIGHTING_BATCH_ESTIMATE_INL_H_
#undef LIGHTING_BATCH_ESTIMATE_INL_H_
#else
#define LIGHTING_BATCH_ESTIMATE_INL_H_
#endif

#include <algorithm>

#include "batch_bounds.hpp"
#include "batch_lanes-inl.h"
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

#if LIGHTING_ESTIMATE_PATH

HWY_BEFORE_NAMESPACE();
namespace lighting::detail::HWY_NAMESPACE {
namespace {
namespace estimating {

template <Flavour flavour>
constexpr bounds::Windows derived_windows() {
  return bounds::windows_of(LIGHTING_ESTIMATE_MASKS ? bounds::kAvx512<flavour>
                                                    : bounds::kRsqrtps<flavour>);
}

// The window as applied. With mask registers the test is one add and one
// vptestnmq, which needs the window widened to 2^k - 1.
constexpr std::int64_t applied_window(std::int64_t window) {
  if (!LIGHTING_ESTIMATE_MASKS) return window;
  std::int64_t span = 2;
  while (span < 2 * window + 2) span *= 2;
  return span / 2 - 1;
}

template <Flavour flavour>
constexpr BatchWindows windows() {
  constexpr bounds::Windows derived = derived_windows<flavour>();
  return {applied_window(derived.length), applied_window(derived.direction),
          applied_window(derived.falloff)};
}

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

// The window test of near_float_midpoint, for a window fixed per call. With
// mask registers a value y is flagged when ((bits(y) + 2^28 + w) & tested)
// == 0, for w = 2^k - 1 and tested = the bits 2^(k+1) to 2^28: one add and
// one vptestnmq.
struct WindowTest {
  std::int64_t window;  // as applied
#if LIGHTING_ESTIMATE_MASKS
  VecI add, tested;
#endif
  explicit WindowTest(std::int64_t derived) : window(applied_window(derived)) {
#if LIGHTING_ESTIMATE_MASKS
    const IntTag di;
    add = hn::Set(di, (std::int64_t{1} << 28) + window);
    tested = hn::Set(di, ((std::int64_t{1} << 29) - 1) & ~(2 * window + 1));
#endif
  }
};

HWY_INLINE MaskD near_midpoint(VecD value, const WindowTest& test) {
#if LIGHTING_ESTIMATE_MASKS
  const VecI shifted = hn::Add(hn::BitCast(IntTag(), value), test.add);
  return MaskD{_mm512_testn_epi64_mask(shifted.raw, test.tested.raw)};
#else
  return near_float_midpoint(value, test.window);
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
// The quick test: near_float_midpoint's test on the low 32 bits of two
// vectors at once, all bits set in a 32-bit lane where the low half of a lane
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

#define LIGHTING_EACH _Pragma("GCC unroll 8") for (int k = 0; k < K; ++k)

// Whether some lane of a block is undecided, gathered as the block's values
// are made, so that none of them has to live to the end of the block; only
// when one is does undecided_lanes find which. note_roots takes the block's
// lengths and falloffs, note_direction one vector's length and quotients
// (diffused energy only), and each form tests the length where that is
// cheapest.
#if LIGHTING_ESTIMATE_MASKS
// With mask registers: one mask, each value tested on its own.
class BlockVerdict {
 public:
  // User-written constructors, here and below: an implicit one would be
  // compiled without the target's instruction set.
  HWY_INLINE BlockVerdict() : undecided_(hn::FirstN(DoubleTag(), 0)) {}
  template <bool kTinyComponents>
  HWY_INLINE void note_range(VecD s, VecD sx, VecD sy, VecD sz) {
    undecided_ = hn::Or(undecided_, outside_range<kTinyComponents>(s, sx, sy, sz));
  }
  template <bool kDiffuse, int K>
  HWY_INLINE void note_roots(const VecD (&length)[K], const VecD (&falloff)[K],
                             const EstimateTests& tests) {
    LIGHTING_EACH undecided_ = hn::Or(undecided_, hn::Or(near_midpoint(length[k], tests.length),
                                                         near_midpoint(falloff[k], tests.falloff)));
  }
  HWY_INLINE void note_direction(VecD, VecD qx, VecD qy, VecD qz, const EstimateTests& tests) {
    undecided_ = hn::Or(undecided_, hn::Or(near_midpoint(qx, tests.direction),
                                           hn::Or(near_midpoint(qy, tests.direction),
                                                  near_midpoint(qz, tests.direction))));
  }
  HWY_INLINE bool none() const { return hn::AllFalse(DoubleTag(), undecided_); }

 private:
  MaskD undecided_;
};
#else
// Without: the range as sign bits, the windows as flags on the low halves of
// two vectors at once (packed_near_midpoint); for the diffused energy the
// length goes with a quotient, under the wider of the two windows.
class BlockVerdict {
 public:
  HWY_INLINE BlockVerdict() : signs_(hn::Zero(IntTag())), flags_(hn::Zero(IntTag())) {}
  template <bool kTinyComponents>
  HWY_INLINE void note_range(VecD s, VecD sx, VecD sy, VecD sz) {
    signs_ = hn::Or(signs_, outside_range_signs<kTinyComponents>(s, sx, sy, sz));
  }
  template <bool kDiffuse, int K>
  HWY_INLINE void note_roots(const VecD (&length)[K], const VecD (&falloff)[K],
                             const EstimateTests& tests) {
    for (int k = 0; k < K; k += 2) {
      const int next = k + 1 < K ? k + 1 : k;
      flags_ =
          hn::Or(flags_, packed_near_midpoint(falloff[k], falloff[next], tests.packed_falloff_add,
                                              tests.packed_falloff_limit));
      if constexpr (!kDiffuse) {
        flags_ = hn::Or(flags_, packed_near_midpoint(length[k], length[next], tests.packed_add,
                                                     tests.packed_limit));
      }
    }
  }
  HWY_INLINE void note_direction(VecD length, VecD qx, VecD qy, VecD qz,
                                 const EstimateTests& tests) {
    flags_ = hn::Or(flags_,
                    hn::Or(packed_near_midpoint(length, qx, tests.packed_add, tests.packed_limit),
                           packed_near_midpoint(qy, qz, tests.packed_add, tests.packed_limit)));
  }
  HWY_INLINE bool none() const {
    const hn::RebindToUnsigned<IntTag> du;
    return all_clear(
        hn::Or(flags_, hn::BitCast(IntTag(), hn::ShiftRight<63>(hn::BitCast(du, signs_)))));
  }

 private:
  VecI signs_, flags_;
};
#endif

// The lanes of one vector that the vector path cannot decide, among the
// first `valid`: outside its range, or a tested value within its window of a
// float midpoint. The values are made again from the points by the same
// operations in the same order as estimate_block's, so they are the same
// bits; only a block in which some lane is undecided comes here.
template <bool kDiffuse, bool kTinyComponents>
HWY_NOINLINE MaskD undecided_lanes(const Vector3* points, std::size_t valid,
                                   const LightValues& wide_light, const EstimateTests& tests) {
  const DoubleTag d;
  VecD dx, dy, dz;
  towards_light(points, wide_light, dx, dy, dz);
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

// K vectors of points in lockstep (each step written for all K before the
// next), from points[first] and surface's elements at first; `valid` counts
// the real points when K is 1 (the rest are copies of the last). kDiffuse:
// the diffused energy, else the received energy.
template <Flavour flavour, bool kDiffuse, bool kTinyComponents, int K, class Surface>
HWY_INLINE void estimate_block(const Vector3* points, const Surface& surface, std::size_t first,
                               std::size_t valid, const LightValues& wide_light,
                               const PointLight& light, const EstimateTests& tests, Vector3* out) {
  const DoubleTag d;
  const FloatTag df;
  const std::size_t lanes = hn::Lanes(d);
  constexpr bool kComponentTest = kDiffuse && kTinyComponents;
  BlockVerdict verdict;
  VecD dx[K], dy[K], dz[K], s[K];
  LIGHTING_EACH towards_light(points + first + k * lanes, wide_light, dx[k], dy[k], dz[k]);
  LIGHTING_EACH {
    const VecD sx = hn::Mul(dx[k], dx[k]);
    const VecD sy = hn::Mul(dy[k], dy[k]);
    const VecD sz = hn::Mul(dz[k], dz[k]);
    s[k] = hn::Add(hn::Add(sx, sy), sz);
    verdict.note_range<kComponentTest>(s[k], sx, sy, sz);
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
  if (tests.windows) verdict.note_roots<kDiffuse>(length, falloff, tests);
  VecD received[3][K];
  LIGHTING_EACH scaled_colour(through_float(falloff[k]), wide_light, received[0][k], received[1][k],
                              received[2][k]);
  VecF result[3][K];
  if constexpr (kDiffuse) {
    LIGHTING_EACH {
      const VecD qx = hn::Mul(dx[k], x2[k]);
      const VecD qy = hn::Mul(dy[k], x2[k]);
      const VecD qz = hn::Mul(dz[k], x2[k]);
      if (tests.windows) verdict.note_direction(length[k], qx, qy, qz, tests);
      VecD nx, ny, nz, rx, ry, rz;
      surface.normal_at(first + k * lanes, nx, ny, nz);
      const VecD cosine = clamped_cosine(qx, qy, qz, nx, ny, nz);
      surface.reflectance_at(first + k * lanes, rx, ry, rz);
      result[0][k] = diffused_channel(through_float(received[0][k]), cosine, rx);
      result[1][k] = diffused_channel(through_float(received[1][k]), cosine, ry);
      result[2][k] = diffused_channel(through_float(received[2][k]), cosine, rz);
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
  if (HWY_LIKELY(verdict.none())) {
    store_all();
    return;
  }

  // Which lanes are undecided, vector by vector; then the scalar formulas
  // for them, stored over the vector results.
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
  store_with_fallback<flavour, kDiffuse, K * kMaxLanes>(
      is_undecided, K == 1 ? valid : K * lanes, points, surface, first, light, out, store_all);
}

#undef LIGHTING_EACH

// Vectors per block: 8 measured best on Zen 4 for every width (4 was about
// 10% slower on AVX-512 and 15% on AVX2).
constexpr int kBlock = 8;

// The policy as the loop (shade_blocks) sees it: K vectors in lockstep.
template <Flavour flavour, bool kDiffuse, bool kTinyComponents>
struct Shading {
  EstimateTests tests;
  template <int K, class Surface>
  HWY_INLINE void shade(const Vector3* points, const Surface& surface, std::size_t first,
                        std::size_t valid, const KernelLight& light, Vector3* out) const {
    estimate_block<flavour, kDiffuse, kTinyComponents, K>(points, surface, first, valid, light.wide,
                                                          light.scalar, tests, out);
  }
};

template <Flavour flavour, bool kDiffuse, bool kTinyComponents, class Surface>
void estimate_loop(const Vector3* points, std::size_t count, const Surface& surface,
                   const PointLight& light, Vector3* out) {
  const Shading<flavour, kDiffuse, kTinyComponents> policy{
      EstimateTests(derived_windows<flavour>(), batch_tie_check(), batch_window_shrink())};
  shade_blocks<kBlock>(points, count, surface, light, policy, out);
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

// Every point. The components are tested only where the light allows a
// tiny one, and the received energy needs no component test at all.
template <Flavour flavour, bool kDiffuse, class Surface>
void shade_all(const Vector3* points, std::size_t count, const Surface& surface,
               const PointLight& light, Vector3* out) {
  if (kDiffuse && needs_component_test(light)) {
    estimate_loop<flavour, kDiffuse, true>(points, count, surface, light, out);
  } else {
    estimate_loop<flavour, kDiffuse, false>(points, count, surface, light, out);
  }
}

}  // namespace estimating
}  // namespace
}  // namespace lighting::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // LIGHTING_ESTIMATE_PATH

#endif  // LIGHTING_BATCH_ESTIMATE_INL_H_
