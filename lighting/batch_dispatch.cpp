// The choice of the batch kernels' target, compiled once: the best target
// this processor runs, or the one LIGHTING_BATCH_TARGET names, or the one a
// test or benchmark selected. Highway says which targets the processor
// supports; the tables come from its dispatch table by target
// (batch_dispatch.hpp), so Highway's own chosen target is never changed.
#include <hwy/targets.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "batch_dispatch.hpp"
#include "batch_kernel.hpp"

namespace lighting::detail {

namespace {

const BatchKernels* find_available(std::string_view name) noexcept {
  const BatchKernels* tables[64];
  const std::size_t count = available_batch_targets(tables, 64);
  for (std::size_t i = 0; i < count; ++i) {
    if (tables[i]->name == name) return tables[i];
  }
  return nullptr;
}

// The normal choice, made once: LIGHTING_BATCH_TARGET if it names an
// available target, else the best available one.
const BatchKernels& chosen_kernels() noexcept {
  static const BatchKernels* const chosen = [] {
    const char* requested = std::getenv("LIGHTING_BATCH_TARGET");
    if (requested != nullptr) {
      if (const BatchKernels* kernels = find_available(requested)) return kernels;
    }
    const BatchKernels* best = nullptr;
    available_batch_targets(&best, 1);
    return best;
  }();
  return *chosen;
}

std::atomic<const BatchKernels*> override_kernels{nullptr};

}  // namespace

std::size_t available_batch_targets(const BatchKernels** tables, std::size_t capacity) noexcept {
  std::size_t count = 0;
  // Lower bits are better targets. The portable fallback (scalar or emu128)
  // is always supported, so there is at least one.
  for (std::int64_t targets = hwy::SupportedTargets() & compiled_batch_targets(); targets != 0;
       targets &= targets - 1) {
    const BatchKernels* kernels = kernels_of_target(targets & -targets);
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
