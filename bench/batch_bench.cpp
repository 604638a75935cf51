// The batch functions against the scalar ones, each goal a ratio of two
// timings taken in the same run, alternating which of the two goes first:
//   OnePlaneVsScalar   4096 points, one normal: scalar loop / batch   >= 15 avx512, 8 avx2, 4 sse4
//   PerPointVsScalar   the same with a normal and reflectance per point  >= 12 avx512
//   ReceivedVsScalar   received_energy, scalar loop / batch            (no goal)
//   OnePlaneVsFloor    batch / the divider floor at the same width      <= 2.5
//   PerPointVsFloor    the same for per-point surfaces                  <= 2.5
//   EightVsScalar      8 scalar calls / one batch of 8                  >= 2
// The divider floor is the kernel's own loop of one square root and five
// double divisions per point, nothing else: what no exact kernel can beat.
//
// Every measure is registered once per target this processor runs (selected
// through the batch test hook; the label names it and the goal), or only for
// the target LIGHTING_BATCH_TARGET picks when it is set. One target:
//   batch_bench --benchmark_filter=/avx2
#include <lighting/lighting.hpp>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch_kernel.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;

constexpr std::size_t kPoints = 4096;
constexpr std::size_t kSmallBatch = 8;

// A 64 x 64 patch of the demo's plane under the demo's light, as the renderer
// shades it, and per-point surfaces: normals within about 45 degrees of the
// plane's, reflectances in [0, 1).
struct Scene {
  std::vector<Vector3> points, normals, reflectances;
  Vector3 normal{0, 0, 1}, reflectance{0.5f, 0.5f, 1};
  PointLight light{{-1, 2, 4}, 1, 0.5f, 0.5f, 5};
};

const Scene& scene() {
  static const Scene value = [] {
    Scene s;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> tilt(-1.0f, 1.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (std::size_t i = 0; i < kPoints; ++i) {
      const float column = static_cast<float>(i % 64) + 0.5f;
      const float row = static_cast<float>(i / 64) + 0.5f;
      s.points.push_back({1 + (column - 32) / 16, 2 + (32 - row) / 16, 0});
      s.normals.push_back({tilt(random), tilt(random), 1});
      s.reflectances.push_back({unit(random), unit(random), unit(random)});
    }
    return s;
  }();
  return value;
}

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// This thread's processor time, not the wall clock: on a machine shared with
// other work, time spent descheduled would otherwise land in either timing.
template <typename Work>
double seconds(Work&& work) {
  const double start = thread_seconds();
  work();
  return thread_seconds() - start;
}

// Times both pieces of work once per iteration, the first one first on even
// iterations and second on odd ones, and reports numerator / denominator.
template <typename Numerator, typename Denominator>
void report_ratio(benchmark::State& state, Numerator&& numerator, Denominator&& denominator) {
  double top = 0.0;
  double bottom = 0.0;
  bool top_first = true;
  for (auto _ : state) {
    if (top_first) top += seconds(numerator);
    bottom += seconds(denominator);
    if (!top_first) top += seconds(numerator);
    top_first = !top_first;
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["ratio"] = top / bottom;
  state.counters["top_us"] = 1e6 * top / iterations;
  state.counters["bottom_us"] = 1e6 * bottom / iterations;
}

// --- the timed work ---------------------------------------------------------

void scalar_one_plane(const Scene& s, std::span<Vector3> out) {
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    lighting::diffused_energy(s.points[i], s.normal, s.reflectance, s.light, out[i]);
  }
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
}

void scalar_per_point(const Scene& s, std::span<Vector3> out) {
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    lighting::diffused_energy(s.points[i], s.normals[i], s.reflectances[i], s.light, out[i]);
  }
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
}

void scalar_received(const Scene& s, std::span<Vector3> out) {
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    lighting::received_energy(s.points[i], s.light, out[i]);
  }
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
}

void batch_one_plane(const Scene& s, std::span<Vector3> out) {
  lighting::diffused_energy(s.points, s.normal, s.reflectance, s.light, out);
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
}

void batch_per_point(const Scene& s, std::span<Vector3> out) {
  lighting::diffused_energy(s.points, s.normals, s.reflectances, s.light, out);
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
}

void batch_received(const Scene& s, std::span<Vector3> out) {
  lighting::received_energy(s.points, s.light, out);
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
}

// The same 4096 points as 512 batches of 8.
void small_batches(const Scene& s, std::span<Vector3> out) {
  const std::span<const Vector3> points(s.points);
  for (std::size_t first = 0; first < points.size(); first += kSmallBatch) {
    lighting::diffused_energy(points.subspan(first, kSmallBatch), s.normal, s.reflectance, s.light,
                              out.subspan(first, kSmallBatch));
  }
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
}

void divider_floor(const Scene& s) {
  benchmark::DoNotOptimize(
      lighting::detail::batch_kernels().divider_floor(s.points.data(), s.points.size()));
}

// --- the measures -----------------------------------------------------------

struct Measure {
  const char* name;
  void (*run)(benchmark::State&, const Scene&, std::span<Vector3>);
  // The goal on a target, or empty where there is none.
  std::string (*goal)(std::string_view target);
};

std::string speedup_goal(std::string_view target) {
  if (target == "avx512") return "goal >= 15";
  if (target == "avx2") return "goal >= 8";
  if (target == "sse4") return "goal >= 4";
  return {};
}

std::string per_point_goal(std::string_view target) {
  return target == "avx512" ? "goal >= 12" : "";
}

std::string no_goal(std::string_view) {
  return {};
}

std::string floor_goal(std::string_view) {
  return "goal <= 2.5";
}

std::string small_batch_goal(std::string_view) {
  return "goal >= 2";
}

const Measure kMeasures[] = {
    {"OnePlaneVsScalar",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, [&] { scalar_one_plane(s, out); }, [&] { batch_one_plane(s, out); });
     },
     speedup_goal},
    {"PerPointVsScalar",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, [&] { scalar_per_point(s, out); }, [&] { batch_per_point(s, out); });
     },
     per_point_goal},
    {"ReceivedVsScalar",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, [&] { scalar_received(s, out); }, [&] { batch_received(s, out); });
     },
     no_goal},
    {"OnePlaneVsFloor",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, [&] { batch_one_plane(s, out); }, [&] { divider_floor(s); });
     },
     floor_goal},
    {"PerPointVsFloor",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, [&] { batch_per_point(s, out); }, [&] { divider_floor(s); });
     },
     floor_goal},
    {"EightVsScalar",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, [&] { scalar_one_plane(s, out); }, [&] { small_batches(s, out); });
     },
     small_batch_goal},
};

// The targets to measure: the one LIGHTING_BATCH_TARGET chose, or every one.
std::vector<std::string> targets_to_measure() {
  if (std::getenv("LIGHTING_BATCH_TARGET") != nullptr) {
    return {std::string(lighting::batch_target())};
  }
  std::vector<std::string> names;
  for (std::string_view name : lighting::batch_targets()) names.emplace_back(name);
  return names;
}

void register_measures() {
  for (const std::string& target : targets_to_measure()) {
    for (const Measure& measure : kMeasures) {
      const std::string goal = measure.goal(target);
      const std::string label = goal.empty() ? target : target + ", " + goal;
      benchmark::RegisterBenchmark((std::string("BM_") + measure.name + "/" + target).c_str(),
                                   [target, label, run = measure.run](benchmark::State& state) {
                                     if (!lighting::detail::use_batch_target(target)) {
                                       state.SkipWithError("target not available");
                                       return;
                                     }
                                     std::vector<Vector3> out(kPoints);
                                     run(state, scene(), out);
                                     lighting::detail::use_batch_target({});
                                     state.SetLabel(label);
                                   });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_measures();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
