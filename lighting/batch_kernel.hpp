// The batch kernels, one set per SIMD target, and the choice between them.
//
// batch_kernel.cpp is compiled once per target; each target contributes a
// BatchKernels table, and batch_dispatch.cpp chooses one (batch_loop.cpp is
// the one table of a build without Highway). batch.cpp checks the
// arguments, installs the default floating-point environment and calls
// through the table of the target in use. The hooks at the end exist for the
// tests and the benchmarks; the kernels read them once per call.
#pragma once

#include <lighting/lighting.hpp>

#include "formulas.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lighting::detail {

// The windows a kernel applies, in ulps of its own double either side of a
// float midpoint: a lane whose value lies within them is recomputed with the
// scalar formulas. -1 where the value is not tested (it is exact).
struct BatchWindows {
  std::int64_t length, direction, falloff;
};

// The kernels of one target for one flavour. Pointers may alias exactly
// (out == points) and nothing else; counts are in points.
struct FlavourKernels {
  void (*received_energy)(const Vector3* points, std::size_t count, const PointLight& light,
                          Vector3* out);
  void (*diffused_energy_one_plane)(const Vector3* points, std::size_t count, const Vector3& normal,
                                    const Vector3& reflectance, const PointLight& light,
                                    Vector3* out);
  void (*diffused_energy)(const Vector3* points, const Vector3* normals,
                          const Vector3* reflectances, std::size_t count, const PointLight& light,
                          Vector3* out);
  BatchWindows windows;
  // Whether the kernel takes the length, quotients and falloff from a
  // reciprocal-square-root estimate (batch_bounds.hpp) rather than dividing.
  bool estimate;
};

struct BatchKernels {
  std::string_view name;
  // Highway's bit for the target (HWY_AVX2, ...), 0 for the scalar loop.
  std::int64_t target;
  FlavourKernels pow;
  FlavourKernels portable;

  const FlavourKernels& of(Flavour flavour) const noexcept {
    return flavour == Flavour::pow ? pow : portable;
  }
};

// The table of the target the batch functions use: the one chosen by
// LIGHTING_BATCH_TARGET (read once) if it names an available target,
// otherwise the best this processor runs; or the one use_batch_target set.
const BatchKernels& batch_kernels() noexcept;

// Every target compiled in and supported by this processor, best first.
// Returns how many were written to names (at most capacity).
std::size_t available_batch_targets(const BatchKernels** tables, std::size_t capacity) noexcept;

// Tests and benchmarks: switch the batch functions to the named available
// target (false if there is none by that name); an empty name restores the
// normal choice.
bool use_batch_target(std::string_view name) noexcept;

// Tests: turn the near-tie check off or on (on by default; off, the kernels
// recompute only the lanes outside the range they handle), and count the
// lanes that the kernels recomputed with the scalar formulas.
void set_batch_tie_check(bool enabled) noexcept;
bool batch_tie_check() noexcept;
std::uint64_t batch_fallback_lanes() noexcept;
void count_batch_fallback_lanes(std::uint64_t lanes) noexcept;

// Tests: divide the estimate path's windows by 2^shift (0, the default, is
// the derived width), to show that narrower windows give wrong bits.
void shrink_batch_windows(unsigned shift) noexcept;
unsigned batch_window_shrink() noexcept;

}  // namespace lighting::detail
