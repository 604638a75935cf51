// The batch benchmark's floor: the arithmetic diffused_energy cannot avoid
// at a target's width when it divides, one square root and five double
// divisions per point and nothing else that costs, compiled once per target
// like the kernels and run on the target the batches use.
// NOLINTBEGIN: Highway's per-target re-inclusion needs this exact shape.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "divider_floor.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// NOLINTEND
#include <hwy/highway.h>

#include <cstddef>

#include "batch_dispatch.hpp"
#include "divider_floor.hpp"

HWY_BEFORE_NAMESPACE();
namespace bench::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Returns a sum so that nothing is optimised away.
double divider_floor(const lighting::Vector3* points, std::size_t count) {
  const hn::ScalableTag<double> d;
  const hn::Rebind<float, decltype(d)> df;
  const std::size_t lanes = hn::Lanes(d);
  const auto divide = [&](std::size_t first) {
    hn::Vec<decltype(df)> xf, yf, zf;
    hn::LoadInterleaved3(df, reinterpret_cast<const float*>(points + first), xf, yf, zf);
    const auto x = hn::PromoteTo(d, xf);
    const auto y = hn::PromoteTo(d, yf);
    const auto z = hn::PromoteTo(d, zf);
    const auto length = hn::Sqrt(x);
    const auto falloff = hn::Div(hn::Div(hn::Set(d, 1.0), length), length);
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

}  // namespace bench::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace bench {

HWY_EXPORT(divider_floor);

double divider_floor(std::int64_t target, const lighting::Vector3* points, std::size_t count) {
  const std::size_t index = lighting::detail::dispatch_index(target);
  if (index == lighting::detail::kNotCompiled) return 0.0;
  return HWY_DISPATCH_TABLE(divider_floor)[index](points, count);
}

}  // namespace bench
#endif
