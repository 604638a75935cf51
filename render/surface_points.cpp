// The patch's surface points, a row at a time, on the widest SIMD unit the
// processor has (Highway's run-time dispatch; this file is compiled once per
// target by foreach_target.h).
//
// Every lane repeats the scalar formulas operation for operation, in double:
//   t = (height/2 - (row + 0.5)) * pixel        once per row
//   origin = centre + t * up                     once per row
//   s = ((column + 0.5) - width/2) * pixel
//   point = float(origin + s * right)            per coordinate
// (column + 0.5) - width/2 is a half-integer far below 2^52, so it is exact
// however it is formed: the lanes start from it and add the lane count, also
// exactly. The products and sums are rounded one at a time (this file is
// built without fused multiply-add or fast-math, whatever the caller's
// flags), and the conversion to float rounds to nearest as a cast does, so
// every target gives the bits of the scalar loop, which handles the tail.

// NOLINTBEGIN: Highway's per-target re-inclusion needs this exact shape.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "surface_points.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// NOLINTEND
#include <hwy/highway.h>

#include <cstddef>

#include "surface.hpp"

#ifndef RENDER_SURFACE_POINTS_ONCE
#define RENDER_SURFACE_POINTS_ONCE
namespace render::detail {

// One row's line of points: point(s) = origin + s * right.
struct RowLine {
  double origin[3];
  double right[3];
  double pixel;
  double first_offset;  // (first column + 0.5) - width/2, exact
};

inline lighting::Vector3 point_on_line(const RowLine& line, double offset) {
  const double s = offset * line.pixel;
  return {static_cast<float>(line.origin[0] + s * line.right[0]),
          static_cast<float>(line.origin[1] + s * line.right[1]),
          static_cast<float>(line.origin[2] + s * line.right[2])};
}

}  // namespace render::detail
static_assert(sizeof(lighting::Vector3) == 3 * sizeof(float),
              "Vector3 must be three packed floats");
#endif

HWY_BEFORE_NAMESPACE();
namespace render::detail::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

void line_points(const RowLine& line, std::size_t count, lighting::Vector3* out) {
  std::size_t done = 0;
#if HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128
  // (The portable targets saturate out-of-range conversions instead of
  // rounding them as a cast does: the scalar loop serves them.)
  const hn::ScalableTag<double> d;
  const hn::Rebind<float, decltype(d)> half;  // one double vector's worth of floats
  const hn::Twice<decltype(half)> f;          // two: a whole float vector
  const std::size_t lanes = hn::Lanes(d);
  const auto origin_x = hn::Set(d, line.origin[0]);
  const auto origin_y = hn::Set(d, line.origin[1]);
  const auto origin_z = hn::Set(d, line.origin[2]);
  const auto right_x = hn::Set(d, line.right[0]);
  const auto right_y = hn::Set(d, line.right[1]);
  const auto right_z = hn::Set(d, line.right[2]);
  const auto pixel = hn::Set(d, line.pixel);
  const auto step = hn::Set(d, static_cast<double>(lanes));
  auto offset = hn::Iota(d, line.first_offset);
  const auto coordinate = [&](auto s, auto origin, auto right) {
    return hn::DemoteTo(half, hn::Add(origin, hn::Mul(s, right)));
  };
  // Two double vectors per step fill whole float vectors, which interleave
  // with fewer shuffles than half ones.
  for (; done + 2 * lanes <= count; done += 2 * lanes) {
    const auto s_low = hn::Mul(offset, pixel);
    offset = hn::Add(offset, step);
    const auto s_high = hn::Mul(offset, pixel);
    offset = hn::Add(offset, step);
    const auto x =
        hn::Combine(f, coordinate(s_high, origin_x, right_x), coordinate(s_low, origin_x, right_x));
    const auto y =
        hn::Combine(f, coordinate(s_high, origin_y, right_y), coordinate(s_low, origin_y, right_y));
    const auto z =
        hn::Combine(f, coordinate(s_high, origin_z, right_z), coordinate(s_low, origin_z, right_z));
    hn::StoreInterleaved3(x, y, z, f, reinterpret_cast<float*>(out + done));
  }
#endif
  for (; done < count; ++done) {
    out[done] = point_on_line(line, line.first_offset + static_cast<double>(done));
  }
}

}  // namespace render::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace render {

namespace detail {
HWY_EXPORT(line_points);
}  // namespace detail

void row_points(const Patch& patch, int row, int first_column, std::span<lighting::Vector3> out) {
  detail::RowLine line{};
  const double t = (0.5 * patch.height - (row + 0.5)) * patch.pixel;
  for (int i = 0; i < 3; ++i) {
    line.origin[i] = patch.centre[i] + t * patch.up[i];
    line.right[i] = patch.right[i];
  }
  line.pixel = patch.pixel;
  line.first_offset = (first_column + 0.5) - 0.5 * patch.width;
  HWY_DYNAMIC_DISPATCH(detail::line_points)(line, out.size(), out.data());
}

}  // namespace render
#endif  // HWY_ONCE
