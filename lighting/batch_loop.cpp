// The batch kernels of a build without Highway: "scalar-loop", whose kernels
// run the scalar formulas point by point, after WebAssembly's SIMD128 target
// where the module is built with it. The bits are those
// of the SIMD kernels, which match the same formulas; only the speed differs.
#include <atomic>
#include <cstddef>
#include <string_view>

#include "batch_kernel.hpp"
#include "formulas.hpp"

namespace lighting::detail {

namespace {

// Each result goes through a local record: out may be the points themselves,
// and the formulas read a point after writing the first channel of out.
template <Flavour flavour>
void received_energy_loop(const Vector3* points, std::size_t count, const PointLight& light,
                          Vector3* out) {
  for (std::size_t i = 0; i < count; ++i) {
    Vector3 result;
    formulas::received_energy<flavour>(points[i], light, result);
    out[i] = result;
  }
}

template <Flavour flavour>
void diffused_energy_one_plane_loop(const Vector3* points, std::size_t count, const Vector3& normal,
                                    const Vector3& reflectance, const PointLight& light,
                                    Vector3* out) {
  for (std::size_t i = 0; i < count; ++i) {
    Vector3 result;
    formulas::diffused_energy<flavour>(points[i], normal, reflectance, light, result);
    out[i] = result;
  }
}

template <Flavour flavour>
void diffused_energy_loop(const Vector3* points, const Vector3* normals,
                          const Vector3* reflectances, std::size_t count, const PointLight& light,
                          Vector3* out) {
  for (std::size_t i = 0; i < count; ++i) {
    Vector3 result;
    formulas::diffused_energy<flavour>(points[i], normals[i], reflectances[i], light, result);
    out[i] = result;
  }
}

// The scalar formulas themselves: nothing to test, no window.
constexpr BatchWindows kNoWindows{-1, -1, -1};

constexpr BatchKernels kScalarLoop{
    "scalar-loop",
    0,
    {&received_energy_loop<Flavour::pow>, &diffused_energy_one_plane_loop<Flavour::pow>,
     &diffused_energy_loop<Flavour::pow>, kNoWindows, false},
    {&received_energy_loop<Flavour::portable>, &diffused_energy_one_plane_loop<Flavour::portable>,
     &diffused_energy_loop<Flavour::portable>, kNoWindows, false}};

}  // namespace

#if defined(__wasm_simd128__)
// WebAssembly SIMD128 (batch_wasm_simd128.cpp) first, the scalar loop second.
const BatchKernels& wasm_simd128_batch_kernels() noexcept;
namespace {
std::atomic<const BatchKernels*> chosen_kernels{&wasm_simd128_batch_kernels()};
}  // namespace
#else
namespace {
std::atomic<const BatchKernels*> chosen_kernels{&kScalarLoop};
}  // namespace
#endif

const BatchKernels& batch_kernels() noexcept {
  return *chosen_kernels.load(std::memory_order_relaxed);
}

std::size_t available_batch_targets(const BatchKernels** tables, std::size_t capacity) noexcept {
  std::size_t count = 0;
#if defined(__wasm_simd128__)
  if (count < capacity) tables[count++] = &wasm_simd128_batch_kernels();
#endif
  if (count < capacity) tables[count++] = &kScalarLoop;
  return count;
}

// An empty name restores the best target.
bool use_batch_target(std::string_view name) noexcept {
  const BatchKernels* tables[2];
  const std::size_t count = available_batch_targets(tables, 2);
  for (std::size_t i = 0; i < count; ++i) {
    if (name.empty() || tables[i]->name == name) {
      chosen_kernels.store(tables[i], std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

}  // namespace lighting::detail
