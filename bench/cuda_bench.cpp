// The GPU batches' throughput, in points a second: on data already in device
// memory (24 bytes a point read and written, 48 with per-point normals and
// reflectances), and through host spans with their copies, beside the same
// copies alone. Exits 77 (skipped) without a usable CUDA device.
#include <benchmark/benchmark.h>
#include <cuda_runtime_api.h>

#include <lighting/lighting_cuda.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using lighting::PointLight;
using lighting::Vector3;
namespace cuda = lighting::cuda;

const PointLight kLight{{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};
const Vector3 kNormal{0.0f, 0.0f, 1.0f};
const Vector3 kReflectance{0.5f, 0.5f, 1.0f};

void check(cudaError_t error, const char* what) {
  if (error != cudaSuccess) {
    std::fprintf(stderr, "cuda_bench: %s: %s\n", what, cudaGetErrorString(error));
    std::exit(1);
  }
}

// Points around the light, a few thousand distinct ones repeated.
Vector3 point(std::size_t i) {
  const auto k = static_cast<float>(i % 4099);
  return {k * 0.001f - 2.0f, 2.0f + k * 0.0005f, k * 0.0007f};
}

// count points in device memory: one block of them copied in, then doubled
// on the device until the array is full.
Vector3* device_points(std::size_t count) {
  void* memory = nullptr;
  check(cudaMalloc(&memory, count * sizeof(Vector3)), "cudaMalloc");
  auto* points = static_cast<Vector3*>(memory);
  const std::size_t first = std::min<std::size_t>(count, 1 << 16);
  std::vector<Vector3> block(first);
  for (std::size_t i = 0; i < first; ++i) block[i] = point(i);
  check(cudaMemcpy(points, block.data(), first * sizeof(Vector3), cudaMemcpyHostToDevice),
        "copy to the device");
  for (std::size_t filled = first; filled < count;) {
    const std::size_t more = std::min(filled, count - filled);
    check(cudaMemcpy(points + filled, points, more * sizeof(Vector3), cudaMemcpyDeviceToDevice),
          "fill");
    filled += more;
  }
  return points;
}

void count_points(benchmark::State& state, std::size_t count, std::size_t bytes_a_point) {
  const auto total =
      static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(count);
  state.SetItemsProcessed(total);
  state.SetBytesProcessed(total * static_cast<std::int64_t>(bytes_a_point));
}

enum class Batch { received, one_plane, each };

void on_device(benchmark::State& state, Batch batch) {
  const auto count = static_cast<std::size_t>(state.range(0));
  Vector3* points = device_points(count);
  Vector3* normals = batch == Batch::each ? device_points(count) : nullptr;
  Vector3* out = nullptr;
  check(cudaMalloc(reinterpret_cast<void**>(&out), count * sizeof(Vector3)), "cudaMalloc");
  cudaStream_t stream = nullptr;
  check(cudaStreamCreate(&stream), "cudaStreamCreate");
  for (auto _ : state) {
    switch (batch) {
      case Batch::received:
        cuda::device::received_energy(points, count, kLight, out, stream);
        break;
      case Batch::one_plane:
        cuda::device::diffused_energy(points, count, kNormal, kReflectance, kLight, out, stream);
        break;
      case Batch::each:
        cuda::device::diffused_energy(points, normals, normals, count, kLight, out, stream);
        break;
    }
    check(cudaStreamSynchronize(stream), "kernel");
  }
  count_points(state, count, batch == Batch::each ? 48 : 24);
  check(cudaStreamDestroy(stream), "cudaStreamDestroy");
  for (Vector3* p : {points, normals, out}) check(cudaFree(p), "cudaFree");
}

void BM_DeviceReceived(benchmark::State& state) {
  on_device(state, Batch::received);
}
void BM_DeviceDiffusedOnePlane(benchmark::State& state) {
  on_device(state, Batch::one_plane);
}
void BM_DeviceDiffusedEach(benchmark::State& state) {
  on_device(state, Batch::each);
}

std::vector<Vector3> host_points(std::size_t count) {
  std::vector<Vector3> points(count);
  for (std::size_t i = 0; i < count; ++i) points[i] = point(i);
  return points;
}

void BM_HostSpansDiffusedOnePlane(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<Vector3> points = host_points(count);
  std::vector<Vector3> out(count);
  for (auto _ : state) {
    cuda::diffused_energy(points, kNormal, kReflectance, kLight, out);
    benchmark::DoNotOptimize(out.data());
  }
  count_points(state, count, 24);
}

// The host spans' copies alone, in the same chunks as the batch makes them:
// what the batch's time is to be measured against.
void BM_HostCopiesOnly(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<Vector3> points = host_points(count);
  std::vector<Vector3> out(count);
  const std::size_t chunk = std::min<std::size_t>(count, std::size_t{1} << 22);
  Vector3* in_device = nullptr;
  Vector3* out_device = nullptr;
  check(cudaMalloc(reinterpret_cast<void**>(&in_device), chunk * sizeof(Vector3)), "cudaMalloc");
  check(cudaMalloc(reinterpret_cast<void**>(&out_device), chunk * sizeof(Vector3)), "cudaMalloc");
  const cudaStream_t stream = cudaStreamPerThread;
  for (auto _ : state) {
    for (std::size_t start = 0; start < count; start += chunk) {
      const std::size_t n = std::min(chunk, count - start);
      check(cudaMemcpyAsync(in_device, points.data() + start, n * sizeof(Vector3),
                            cudaMemcpyHostToDevice, stream),
            "copy to the device");
      check(cudaMemcpyAsync(out.data() + start, out_device, n * sizeof(Vector3),
                            cudaMemcpyDeviceToHost, stream),
            "copy from the device");
    }
    check(cudaStreamSynchronize(stream), "copies");
  }
  count_points(state, count, 24);
  check(cudaFree(in_device), "cudaFree");
  check(cudaFree(out_device), "cudaFree");
}

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(1'000'000)
      ->Arg(100'000'000)
      ->Arg(1'000'000'000)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_DeviceReceived)->Apply(sizes);
BENCHMARK(BM_DeviceDiffusedOnePlane)->Apply(sizes);
BENCHMARK(BM_DeviceDiffusedEach)->Apply(sizes);
BENCHMARK(BM_HostSpansDiffusedOnePlane)->Apply(sizes);
BENCHMARK(BM_HostCopiesOnly)->Apply(sizes);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  if (!cuda::available()) {
    std::printf("cuda_bench: no usable CUDA device: skipped\n");
    return 77;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
