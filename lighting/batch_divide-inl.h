// The dividing root policy, compiled once per target: the length is the
// vector square root and the quotients and the falloff are divisions, as in
// the scalar formulas. Every target but the x86 estimate ones
// (batch_estimate-inl.h) uses it.
//
// The portable flavour's root is the correctly rounded one, which the vector
// square root is too, so its lanes need no test. The pow flavour's scalar
// root is pow(s, 0.5): a lane whose length or quotient lies within
// kTieWindow double ulps of a float midpoint could depend on which of the
// two was used, and is recomputed with the scalar formulas. glibc's pow is
// within about 0.52 ulp of the root and sqrt within 0.5, so the two lengths
// are equal or adjacent and each quotient moves by about two ulps at most;
// 64 ulps is far more than needed and still cheap (one value in four million
// falls in it). Values in float's subnormal range are flagged too, the float
// spacing there being coarser than the test assumes.

// Per-target include guard: this header is included once per target.
#if defined(LIGHTING_BATCH_DIVIDE_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LIGHTING_BATCH_DIVIDE_INL_H_
#undef LIGHTING_BATCH_DIVIDE_INL_H_
#else
#define LIGHTING_BATCH_DIVIDE_INL_H_
#endif

#include "batch_lanes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lighting::detail::HWY_NAMESPACE {
namespace {
namespace dividing {

// How many double ulps either side of a float midpoint count as a near tie.
constexpr std::int64_t kTieWindow = 64;

template <Flavour flavour>
constexpr BatchWindows windows() {
  return flavour == Flavour::pow ? BatchWindows{kTieWindow, kTieWindow, -1}
                                 : BatchWindows{-1, -1, -1};
}

// Lanes whose value, rounded to float, might round the other way if it were
// a few ulps off: within kTieWindow ulps of a float midpoint, or nonzero in
// float's subnormal range.
HWY_INLINE MaskD near_float_tie(VecD value) {
  const DoubleTag d;
  const auto subnormal =
      hn::And(hn::Lt(hn::Abs(value), hn::Set(d, 0x1p-126)), hn::Ne(value, hn::Zero(d)));
  return hn::Or(near_float_midpoint(value, kTieWindow), subnormal);
}

// One vector of points from points[first] (`valid` of them real), its
// results written to out[first]. kDiffuse: the diffused energy, else the
// received energy. check: test the pow flavour's near ties.
template <Flavour flavour, bool kDiffuse, class Surface>
HWY_INLINE void shade_vector(const Vector3* points, const Surface& surface, std::size_t first,
                             std::size_t valid, const LightValues& wide_light,
                             const PointLight& light, bool check, Vector3* out) {
  const DoubleTag d;
  VecD dx, dy, dz;
  towards_light(points + first, wide_light, dx, dy, dz);
  const VecD length = hn::Sqrt(sum_of_squares(dx, dy, dz));
  const VecD distance = through_float(length);
  const VecD falloff = through_float(hn::Div(hn::Div(hn::Set(d, 1.0), distance), distance));
  VecD r, g, b;
  scaled_colour(falloff, wide_light, r, g, b);

  VecF out_x, out_y, out_z;
  MaskD undecided = hn::FirstN(d, 0);
  if constexpr (kDiffuse) {
    const VecD qx = hn::Div(dx, length);
    const VecD qy = hn::Div(dy, length);
    const VecD qz = hn::Div(dz, length);
    VecD nx, ny, nz, rx, ry, rz;
    surface.normal_at(first, nx, ny, nz);
    const VecD cosine = clamped_cosine(qx, qy, qz, nx, ny, nz);
    surface.reflectance_at(first, rx, ry, rz);
    out_x = diffused_channel(through_float(r), cosine, rx);
    out_y = diffused_channel(through_float(g), cosine, ry);
    out_z = diffused_channel(through_float(b), cosine, rz);
    if (check) {
      undecided = hn::Or(hn::Or(near_float_tie(length), near_float_tie(qx)),
                         hn::Or(near_float_tie(qy), near_float_tie(qz)));
    }
  } else {
    out_x = to_float(r);
    out_y = to_float(g);
    out_z = to_float(b);
    if (check) undecided = near_float_tie(length);
  }
  if (!check) {
    store_triples(out_x, out_y, out_z, out + first);
    return;
  }
  undecided = hn::And(undecided, hn::FirstN(d, valid));
  if (HWY_LIKELY(hn::AllFalse(d, undecided))) {
    store_triples(out_x, out_y, out_z, out + first);
    return;
  }
  std::uint8_t bits[(kMaxLanes + 7) / 8 < 8 ? 8 : (kMaxLanes + 7) / 8] = {};
  hn::StoreMaskBits(d, undecided, bits);
  store_with_fallback<flavour, kDiffuse, kMaxLanes>(
      [&bits](std::size_t lane) { return ((bits[lane / 8] >> (lane % 8)) & 1u) != 0; }, valid,
      points, surface, first, light, out, [&] { store_triples(out_x, out_y, out_z, out + first); });
}

// The policy as the loop (shade_blocks) sees it: K vectors one after the
// other, testing the near ties when `check`.
template <Flavour flavour, bool kDiffuse>
struct Shading {
  bool check;
  template <int K, class Surface>
  HWY_INLINE void shade(const Vector3* points, const Surface& surface, std::size_t first,
                        std::size_t valid, const KernelLight& light, Vector3* out) const {
    const std::size_t lanes = hn::Lanes(DoubleTag());
    for (std::size_t k = 0; k < std::size_t{K}; ++k) {
      shade_vector<flavour, kDiffuse>(points, surface, first + k * lanes, valid, light.wide,
                                      light.scalar, check, out);
    }
  }
};

// Every point, whole vectors two at a time, so that the long divisions and
// conversions of one overlap the other's.
template <Flavour flavour, bool kDiffuse, class Surface>
void shade_all(const Vector3* points, std::size_t count, const Surface& surface,
               const PointLight& light, Vector3* out) {
  const Shading<flavour, kDiffuse> policy{flavour == Flavour::pow && batch_tie_check()};
  shade_blocks<2>(points, count, surface, light, policy, out);
}

}  // namespace dividing
}  // namespace
}  // namespace lighting::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // LIGHTING_BATCH_DIVIDE_INL_H_
