// The Python batches against the C++ batches on the same million points.
//
// Each iteration shades the points once through the C++ function and once
// through the Python function (called through an embedded interpreter, as
// from a script: argument conversion, checks and all), timed separately, so
// the two timings share the machine's load; the counters give both and the
// ratio python/cpp. The Python side reads the points in place (float32,
// C-contiguous) and writes either into out= or into a new array.
#include <lighting/lighting.hpp>

#include <benchmark/benchmark.h>
#include <pybind11/embed.h>
#include <pybind11/numpy.h>

#include <chrono>
#include <cstddef>
#include <random>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using lighting::PointLight;
using lighting::Vector3;

struct Scene {
  std::vector<Vector3> points;
  std::vector<Vector3> out;
  Vector3 normal{0.0f, 0.0f, 1.0f};
  Vector3 reflectance{0.5f, 0.5f, 1.0f};
  PointLight light{{-1.0f, 2.0f, 4.0f}, 1.0f, 0.5f, 0.5f, 5.0f};
};

Scene make_scene(std::size_t count) {
  Scene scene;
  std::mt19937 random(42);
  std::uniform_real_distribution<float> coordinate(-10.0f, 10.0f);
  scene.points.resize(count);
  for (auto& point : scene.points) {
    point = {coordinate(random), coordinate(random), coordinate(random)};
  }
  scene.out.resize(count);
  return scene;
}

// An (N, 3) float32 array over the vector's own memory, not a copy.
py::array_t<float> as_array(std::vector<Vector3>& vectors) {
  const auto rows = static_cast<py::ssize_t>(vectors.size());
  return py::array_t<float>({rows, py::ssize_t{3}},
                            {py::ssize_t{sizeof(Vector3)}, py::ssize_t{sizeof(float)}},
                            &vectors.front().x, py::capsule(&vectors, [](void*) {}));
}

py::tuple as_tuple(const Vector3& vector) {
  return py::make_tuple(double(vector.x), double(vector.y), double(vector.z));
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename Cpp, typename Python>
void compare(benchmark::State& state, Cpp cpp, Python python) {
  double cpp_seconds = 0.0;
  double python_seconds = 0.0;
  for (auto _ : state) {
    const auto cpp_start = Clock::now();
    cpp();
    cpp_seconds += seconds_since(cpp_start);
    const auto python_start = Clock::now();
    python();
    python_seconds += seconds_since(python_start);
    state.SetIterationTime(seconds_since(cpp_start));
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["cpp_ms"] = 1e3 * cpp_seconds / iterations;
  state.counters["python_ms"] = 1e3 * python_seconds / iterations;
  state.counters["python/cpp"] = python_seconds / cpp_seconds;
}

py::module_ lighting_module() {
  return py::module_::import("lighting");
}

py::object python_light(const PointLight& light) {
  return lighting_module().attr("PointLight")(as_tuple(light.position), double(light.r),
                                              double(light.g), double(light.b),
                                              double(light.intensity));
}

void BM_ReceivedEnergyBatch(benchmark::State& state, bool into_out) {
  Scene scene = make_scene(static_cast<std::size_t>(state.range(0)));
  const py::object function = lighting_module().attr("received_energy");
  const py::object points = as_array(scene.points);
  const py::object light = python_light(scene.light);
  const py::object out = into_out ? py::object(as_array(scene.out)) : py::object(py::none());
  compare(
      state,
      [&] {
        lighting::received_energy(scene.points, scene.light, scene.out);
        benchmark::ClobberMemory();
      },
      [&] { benchmark::DoNotOptimize(function(points, light, "out"_a = out).ptr()); });
}

void BM_DiffusedEnergyBatch(benchmark::State& state, bool into_out) {
  Scene scene = make_scene(static_cast<std::size_t>(state.range(0)));
  const py::object function = lighting_module().attr("diffused_energy");
  const py::object points = as_array(scene.points);
  const py::object normal = as_tuple(scene.normal);
  const py::object reflectance = as_tuple(scene.reflectance);
  const py::object light = python_light(scene.light);
  const py::object out = into_out ? py::object(as_array(scene.out)) : py::object(py::none());
  compare(
      state,
      [&] {
        lighting::diffused_energy(scene.points, scene.normal, scene.reflectance, scene.light,
                                  scene.out);
        benchmark::ClobberMemory();
      },
      [&] {
        benchmark::DoNotOptimize(function(points, normal, reflectance, light, "out"_a = out).ptr());
      });
}

constexpr int kMillion = 1'000'000;

BENCHMARK_CAPTURE(BM_DiffusedEnergyBatch, out, true)
    ->Arg(kMillion)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DiffusedEnergyBatch, new_array, false)
    ->Arg(kMillion)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReceivedEnergyBatch, out, true)
    ->Arg(kMillion)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReceivedEnergyBatch, new_array, false)
    ->Arg(kMillion)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const py::scoped_interpreter python;
  py::module_::import("sys").attr("path").attr("insert")(0, LIGHTING_PYTHON_DIR);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
