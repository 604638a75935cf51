// The batch kernels on SIMD: the three batches of each flavour, compiled once
// per target by Highway's foreach_target.h, and each target's table.
//
// Each lane follows the scalar formulas operation for operation: the same
// double products and sums in the same order, and a rounding to float
// (through an optimisation barrier) wherever the scalar code rounds
// (batch_lanes-inl.h). Two root policies obtain the values that need a root
// or a division (the length, the three direction quotients and the
// falloff): the estimate policy on x86 (batch_estimate-inl.h) and the
// dividing policy everywhere else (batch_divide-inl.h). Either recomputes
// with the scalar formulas the lanes it cannot decide. The part compiled
// once, which chooses a target, is batch_dispatch.cpp; docs/batch-kernel.md
// derives the policies and their windows.
//
// This file is built with -ffp-contract=off like the rest of the library:
// GCC fuses a product into a following sum across statements inside AVX2 and
// FMA target code otherwise.

// NOLINTBEGIN: Highway's per-target re-inclusion needs this exact shape.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "batch_kernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// NOLINTEND
#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>

#include "batch_dispatch.hpp"
#include "batch_divide-inl.h"
#include "batch_estimate-inl.h"
#include "batch_kernel.hpp"
#include "batch_lanes-inl.h"

#ifndef LIGHTING_BATCH_KERNEL_ONCE
#define LIGHTING_BATCH_KERNEL_ONCE
static_assert(sizeof(lighting::Vector3) == 3 * sizeof(float),
              "Vector3 must be three packed floats");
#endif

HWY_BEFORE_NAMESPACE();
namespace lighting::detail::HWY_NAMESPACE {
namespace {

#if LIGHTING_ESTIMATE_PATH
namespace root_policy = estimating;
#else
namespace root_policy = dividing;
#endif

template <Flavour flavour>
void received_energy_kernel(const Vector3* points, std::size_t count, const PointLight& light,
                            Vector3* out) {
  root_policy::shade_all<flavour, false>(points, count, OnePlane{}, light, out);
}

template <Flavour flavour>
void diffused_energy_one_plane_kernel(const Vector3* points, std::size_t count,
                                      const Vector3& normal, const Vector3& reflectance,
                                      const PointLight& light, Vector3* out) {
  root_policy::shade_all<flavour, true>(points, count, one_plane(normal, reflectance), light, out);
}

template <Flavour flavour>
void diffused_energy_kernel(const Vector3* points, const Vector3* normals,
                            const Vector3* reflectances, std::size_t count, const PointLight& light,
                            Vector3* out) {
  root_policy::shade_all<flavour, true>(points, count, PerPoint{normals, reflectances}, light, out);
}

template <Flavour flavour>
constexpr FlavourKernels flavour_kernels() {
  return {&received_energy_kernel<flavour>, &diffused_energy_one_plane_kernel<flavour>,
          &diffused_energy_kernel<flavour>, root_policy::windows<flavour>(),
          LIGHTING_ESTIMATE_PATH != 0};
}

}  // namespace

const BatchKernels* batch_kernels_of_target() {
  static constexpr BatchKernels kKernels{target_name(), HWY_TARGET, flavour_kernels<Flavour::pow>(),
                                         flavour_kernels<Flavour::portable>()};
  return &kKernels;
}

}  // namespace lighting::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lighting::detail {

HWY_EXPORT(batch_kernels_of_target);

const BatchKernels* kernels_of_target(std::int64_t target) noexcept {
  const std::size_t index = dispatch_index(target);
  if (index == kNotCompiled) return nullptr;
  return HWY_DISPATCH_TABLE(batch_kernels_of_target)[index]();
}

std::int64_t compiled_batch_targets() noexcept {
  return HWY_TARGETS;
}

}  // namespace lighting::detail

#endif  // HWY_ONCE
