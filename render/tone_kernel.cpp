// ToneTable's lookup for a run of floats on the widest SIMD unit the
// processor has (Highway's run-time dispatch; this file is compiled once per
// target by foreach_target.h). The lanes do what tone_map does, in integers
// only, and gather from the same tables, so every target gives its codes.

// NOLINTBEGIN: Highway's per-target re-inclusion needs this exact shape.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "tone_kernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// NOLINTEND
#include <hwy/highway.h>

#include <bit>
#include <cstddef>
#include <cstdint>

#include "tone.hpp"

HWY_BEFORE_NAMESPACE();
namespace render::detail::HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

bool tone_map_values_kernel(const ToneTable& table, const float* values, std::size_t count,
                            std::uint8_t* codes) {
  constexpr std::int32_t kExponentBits = 0x7F800000;  // all ones: infinity or NaN
  const hn::ScalableTag<float> f;
  const hn::RebindToSigned<decltype(f)> d;
  const hn::Rebind<std::uint8_t, decltype(d)> bytes;
  const std::size_t lanes = hn::Lanes(d);
  const auto base = hn::Set(d, table.base);
  const auto limit = hn::Set(d, table.limit);
  const auto exponent = hn::Set(d, kExponentBits);
  const auto one = hn::Set(d, 1);
  auto non_finite = hn::Zero(d);  // all ones in a lane that saw one
  std::size_t done = 0;
  for (; done + lanes <= count; done += lanes) {
    const auto raw = hn::BitCast(d, hn::LoadU(f, values + done));
    non_finite = hn::Or(non_finite, hn::VecFromMask(d, hn::Eq(hn::And(raw, exponent), exponent)));
    const auto bits = hn::Min(raw, limit);
    const auto bin = hn::ShiftRightSame(hn::Sub(hn::Max(bits, base), base), table.shift);
    auto code = hn::GatherIndex(d, table.first_code.data(), bin);
    for (int step = 0; step < table.scan; ++step) {
      const auto threshold = hn::GatherIndex(d, table.thresholds.data(), code);
      code = hn::IfThenElse(hn::Lt(bits, threshold), code, hn::Add(code, one));
    }
    hn::StoreU(hn::DemoteTo(bytes, code), bytes, codes + done);
  }
  bool finite = hn::AllFalse(d, hn::MaskFromVec(non_finite));
  for (; done < count; ++done) {
    finite = finite && (std::bit_cast<std::int32_t>(values[done]) & kExponentBits) != kExponentBits;
    codes[done] = tone_map(table, values[done]);
  }
  return finite;
}

}  // namespace render::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace render::detail {

HWY_EXPORT(tone_map_values_kernel);

bool tone_map_values(const ToneTable& table, const float* values, std::size_t count,
                     std::uint8_t* codes) {
  return HWY_DYNAMIC_DISPATCH(tone_map_values_kernel)(table, values, count, codes);
}

}  // namespace render::detail
#endif  // HWY_ONCE
