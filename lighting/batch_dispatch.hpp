// Between the kernels compiled once per target (batch_kernel.cpp) and the
// code compiled once that chooses among them (batch_dispatch.cpp): Highway's
// dispatch table, reached by target rather than through Highway's
// process-wide chosen target, which the library leaves alone.
#pragma once

#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>

#include "batch_kernel.hpp"

namespace lighting::detail {

inline constexpr std::size_t kNotCompiled = ~std::size_t{0};

// Where HWY_EXPORT's table holds a target's entry in this translation unit
// (HWY_TARGETS must be the one of the translation unit that made the table),
// the same index ChosenTarget::GetIndex gives when that target is chosen; or
// kNotCompiled.
inline std::size_t dispatch_index(std::int64_t target) noexcept {
  if ((target & HWY_TARGETS) == 0 || (target & (target - 1)) != 0) return kNotCompiled;
#if (HWY_TARGETS & (HWY_TARGETS - 1)) == 0
  return 0;  // a table of one entry
#else
  // The table's last entry is the fallback: EMU128 if compiled, else SCALAR.
  if (target == HWY_SCALAR && (HWY_TARGETS & HWY_EMU128) != 0) return kNotCompiled;
  const std::int64_t mask = (target & (HWY_SCALAR | HWY_EMU128)) != 0
                                ? HWY_CHOSEN_TARGET_MASK_SCALAR
                                : HWY_CHOSEN_TARGET_SHIFT(target);
  if ((mask & HWY_CHOSEN_TARGET_MASK_TARGETS) == 0) return kNotCompiled;
  return hwy::Num0BitsBelowLS1Bit_Nonzero64(
      static_cast<std::uint64_t>(mask & HWY_CHOSEN_TARGET_MASK_TARGETS));
#endif
}

// The table of one target (a single Highway bit), or null if it was not
// compiled; and every target compiled, as Highway's bits.
const BatchKernels* kernels_of_target(std::int64_t target) noexcept;
std::int64_t compiled_batch_targets() noexcept;

}  // namespace lighting::detail
