// The batch settings and counters that do not depend on how the kernels are
// built: shared by the SIMD kernels (batch_kernel.cpp) and the scalar loop
// used without Highway (batch_loop.cpp).
#include <atomic>
#include <cstdint>

#include "batch_kernel.hpp"

namespace lighting::detail {

namespace {

std::atomic<bool> tie_check{true};
std::atomic<std::uint64_t> fallback_lanes{0};
std::atomic<unsigned> window_shrink{0};

}  // namespace

void set_batch_tie_check(bool enabled) noexcept {
  tie_check.store(enabled);
}
bool batch_tie_check() noexcept {
  return tie_check.load(std::memory_order_relaxed);
}
std::uint64_t batch_fallback_lanes() noexcept {
  return fallback_lanes.load();
}
void count_batch_fallback_lanes(std::uint64_t lanes) noexcept {
  fallback_lanes.fetch_add(lanes, std::memory_order_relaxed);
}
void shrink_batch_windows(unsigned shift) noexcept {
  window_shrink.store(shift < 62 ? shift : 62, std::memory_order_relaxed);
}
unsigned batch_window_shrink() noexcept {
  return window_shrink.load(std::memory_order_relaxed);
}

}  // namespace lighting::detail
