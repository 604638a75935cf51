// The one-hash cases on the GPU: the three batches through device pointers
// (one launch a group of 16 points under its light, on a stream of the
// test's own) and through host spans, each output against lighting::portable
// and the whole against the portable hash. The distance, direction and dot
// product, which have no batch, come from the CPU's scalar functions.
//
// Exits 77 (reported as skipped) without a usable CUDA device, 1 on any
// difference, 0 when every output matches and both hashes are the portable one.
#include <cuda_runtime_api.h>

#include <lighting/lighting_cuda.hpp>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "../one_hash.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;
namespace cuda = lighting::cuda;
namespace one_hash = lighting_test::one_hash;
namespace determinism = lighting_test::determinism;
constexpr std::size_t kGroup = determinism::kGroupSize;

void check(cudaError_t error, const char* what) {
  if (error != cudaSuccess) {
    std::fprintf(stderr, "cuda_gpu_hash_test: %s: %s\n", what, cudaGetErrorString(error));
    std::exit(1);
  }
}

struct Cases {
  std::vector<PointLight> lights;  // one a group
  std::vector<Vector3> points, normals, reflectances;
  std::vector<one_hash::Outputs> expected;  // lighting::portable's
};

Cases make_cases() {
  Cases c;
  const std::size_t groups = one_hash::kCases / kGroup;
  c.lights.reserve(groups);
  for (std::size_t g = 0; g < groups; ++g) {
    const determinism::Group group = determinism::make_group(one_hash::kSeed, g);
    c.lights.push_back(group.light);
    for (std::size_t i = 0; i < kGroup; ++i) {
      c.points.push_back(group.cases[i].point);
      c.normals.push_back(group.cases[i].normal);
      c.reflectances.push_back(group.cases[i].reflectance);
      c.expected.push_back(one_hash::outputs_of(lighting::portable::operations(), group, i));
    }
  }
  return c;
}

// The GPU's received, diffused (per point) and one-plane outputs.
struct Results {
  std::vector<Vector3> received, each, one_plane;
  explicit Results(std::size_t n) : received(n), each(n), one_plane(n) {}
};

// Hashes the CPU's first five outputs with the GPU's nine, and counts the
// GPU outputs that differ from the CPU's.
bool report(const char* path, const Cases& c, const Results& r, double seconds) {
  one_hash::Hash hash;
  std::size_t differ = 0;
  for (std::size_t i = 0; i < one_hash::kCases; ++i) {
    one_hash::Outputs outputs = c.expected[i];
    one_hash::put(outputs, 5, r.received[i]);
    one_hash::put(outputs, 8, r.each[i]);
    one_hash::put(outputs, 11, r.one_plane[i]);
    for (std::size_t o = 5; o < one_hash::kOutputs; ++o) {
      if (outputs[o] != c.expected[i][o] && differ++ < 5) {
        std::printf("%s: case %zu output %zu: 0x%08x, the CPU gives 0x%08x\n", path, i, o,
                    outputs[o], c.expected[i][o]);
      }
    }
    hash.add(outputs);
  }
  const bool good = differ == 0 && hash.value() == one_hash::kPortableHash;
  std::printf("%s: hash %016" PRIx64 " (portable %016" PRIx64 "), %zu outputs differ, %.2f s: %s\n",
              path, hash.value(), one_hash::kPortableHash, differ, seconds, good ? "ok" : "FAILED");
  return good;
}

template <typename T>
T* device_copy(const std::vector<T>& host) {
  void* memory = nullptr;
  check(cudaMalloc(&memory, host.size() * sizeof(T)), "cudaMalloc");
  check(cudaMemcpy(memory, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice),
        "copy to the device");
  return static_cast<T*>(memory);
}

template <typename T>
void copy_back(std::vector<T>& host, const T* device) {
  check(cudaMemcpy(host.data(), device, host.size() * sizeof(T), cudaMemcpyDeviceToHost),
        "copy from the device");
}

bool through_device_pointers(const Cases& c) {
  const auto start = std::chrono::steady_clock::now();
  const std::size_t n = one_hash::kCases;
  Vector3* points = device_copy(c.points);
  Vector3* normals = device_copy(c.normals);
  Vector3* reflectances = device_copy(c.reflectances);
  const std::vector<Vector3> zeros(n);
  Vector3* received = device_copy(zeros);
  Vector3* each = device_copy(zeros);
  Vector3* one_plane = device_copy(zeros);
  Vector3* in_place = device_copy(c.points);
  cudaStream_t stream = nullptr;
  check(cudaStreamCreate(&stream), "cudaStreamCreate");
  for (std::size_t g = 0; g < c.lights.size(); ++g) {
    const std::size_t at = g * kGroup;
    const PointLight& light = c.lights[g];
    cuda::device::received_energy(points + at, kGroup, light, received + at, stream);
    cuda::device::diffused_energy(points + at, normals + at, reflectances + at, kGroup, light,
                                  each + at, stream);
    cuda::device::diffused_energy(points + at, kGroup, c.normals[at], c.reflectances[at], light,
                                  one_plane + at, stream);
    cuda::device::received_energy(in_place + at, kGroup, light, in_place + at, stream);
  }
  check(cudaStreamSynchronize(stream), "kernels");
  Results r(n);
  copy_back(r.received, received);
  copy_back(r.each, each);
  copy_back(r.one_plane, one_plane);
  Results shaded_in_place(n);
  copy_back(shaded_in_place.received, in_place);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  bool good = report("device pointers", c, r, seconds);
  shaded_in_place.each = r.each;
  shaded_in_place.one_plane = r.one_plane;
  good = report("device pointers, received in place", c, shaded_in_place, seconds) && good;
  for (Vector3* p : {points, normals, reflectances, received, each, one_plane, in_place}) {
    check(cudaFree(p), "cudaFree");
  }
  check(cudaStreamDestroy(stream), "cudaStreamDestroy");
  return good;
}

bool through_host_spans(const Cases& c) {
  const auto start = std::chrono::steady_clock::now();
  Results r(one_hash::kCases);
  const std::span<const Vector3> points(c.points), normals(c.normals), reflectances(c.reflectances);
  for (std::size_t g = 0; g < c.lights.size(); ++g) {
    const std::size_t at = g * kGroup;
    const PointLight& light = c.lights[g];
    cuda::received_energy(points.subspan(at, kGroup), light,
                          std::span(r.received).subspan(at, kGroup));
    cuda::diffused_energy(points.subspan(at, kGroup), normals.subspan(at, kGroup),
                          reflectances.subspan(at, kGroup), light,
                          std::span(r.each).subspan(at, kGroup));
    cuda::diffused_energy(points.subspan(at, kGroup), c.normals[at], c.reflectances[at], light,
                          std::span(r.one_plane).subspan(at, kGroup));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return report("host spans", c, r, seconds);
}

// Ordinary host memory handed to a device form is refused, not faulted on,
// where the device cannot read pageable memory.
bool refuses_host_memory() {
  int device = 0, pageable = 0;
  check(cudaGetDevice(&device), "cudaGetDevice");
  check(cudaDeviceGetAttribute(&pageable, cudaDevAttrPageableMemoryAccess, device),
        "cudaDeviceGetAttribute");
  if (pageable != 0) return true;
  std::vector<Vector3> host(4);
  try {
    cuda::device::received_energy(host.data(), 2, PointLight{}, host.data() + 2);
  } catch (const std::invalid_argument& error) {
    std::printf("host memory refused: %s\n", error.what());
    return true;
  }
  std::printf("host memory handed to a device form was not refused: FAILED\n");
  return false;
}

}  // namespace

int main() {
  if (!cuda::available()) {
    std::printf("cuda_gpu_hash_test: no usable CUDA device: skipped\n");
    return 77;
  }
  cudaDeviceProp properties{};
  check(cudaGetDeviceProperties(&properties, 0), "cudaGetDeviceProperties");
  std::printf("device: %s (compute capability %d.%d)\n", properties.name, properties.major,
              properties.minor);
  try {
    const Cases cases = make_cases();
    bool good = through_device_pointers(cases);
    good = through_host_spans(cases) && good;
    good = refuses_host_memory() && good;
    return good ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "cuda_gpu_hash_test: %s\n", error.what());
    return 1;
  }
}
