// The batch functions against the scalar ones, each goal a ratio of two
// timings taken in the same run, alternating which of the two goes first:
//   OnePlaneVsScalar         one normal: scalar loop / batch, at 4096 points
//                            >= 16 avx512, 12 avx2, 7 sse4; also at 1M points
//   PortableOnePlaneVsScalar the same in the portable flavour (no goal)
//   PerPointVsScalar         a normal and reflectance per point  >= 12 avx512
//   ReceivedVsScalar         received_energy, scalar loop / batch (no goal)
//   OnePlaneVsFloor          batch / the divider floor at the same width <= 2.5
//   PortableOnePlaneVsFloor  the same in the portable flavour
//   PerPointVsFloor          the same for per-point surfaces            <= 2.5
//   EightVsScalar            8 scalar calls / one batch of 8             >= 2
//   FallbackRate             lanes recomputed by the scalar formulas per
//                            point, on points uniform in a box (no timing goal)
// The divider floor is the kernel's own loop of one square root and five
// double divisions per point, nothing else: what a dividing kernel cannot
// beat (the estimate targets take neither, and may).
//
// Every measure is registered once per target this processor runs (selected
// through the batch test hook; the label names it and the goal), or only for
// the target LIGHTING_BATCH_TARGET picks when it is set. One target:
//   batch_bench --benchmark_filter=/avx2/
#include <lighting/lighting.hpp>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch_kernel.hpp"
#include "divider_floor.hpp"

namespace {

using lighting::PointLight;
using lighting::Vector3;

constexpr std::size_t kSmallBatch = 8;
constexpr std::size_t kSizes[] = {4096, std::size_t{1} << 20};

// A square patch of the demo's plane (4 x 4 units) under the demo's light,
// as the renderer shades it, sampled on a side x side grid, and per-point
// surfaces: normals within about 45 degrees of the plane's, reflectances in
// [0, 1).
struct Scene {
  std::vector<Vector3> points, normals, reflectances;
  Vector3 normal{0, 0, 1}, reflectance{0.5f, 0.5f, 1};
  PointLight light{{-1, 2, 4}, 1, 0.5f, 0.5f, 5};
};

Scene make_scene(std::size_t size) {
  Scene s;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> tilt(-1.0f, 1.0f);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::size_t side = 1;
  while (side * side < size) ++side;
  const float half = static_cast<float>(side) / 2;
  const float step = static_cast<float>(side) / 4;  // grid cells per unit
  for (std::size_t i = 0; i < size; ++i) {
    const float column = static_cast<float>(i % side) + 0.5f;
    const float row = static_cast<float>(i / side) + 0.5f;
    s.points.push_back({1 + (column - half) / step, 2 + (half - row) / step, 0});
    s.normals.push_back({tilt(random), tilt(random), 1});
    s.reflectances.push_back({unit(random), unit(random), unit(random)});
  }
  return s;
}

const Scene& scene(std::size_t size) {
  static const Scene small = make_scene(kSizes[0]);
  if (size == kSizes[0]) return small;
  static const Scene large = make_scene(kSizes[1]);
  return large;
}

// Points uniform in a 20-unit box around the light, for the fallback rate.
const Scene& uniform_box() {
  static const Scene value = [] {
    Scene s;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> coordinate(-10.0f, 10.0f);
    for (std::size_t i = 0; i < kSizes[1]; ++i) {
      s.points.push_back({coordinate(random), coordinate(random), coordinate(random)});
      s.normals.push_back(s.normal);
      s.reflectances.push_back(s.reflectance);
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
// Reading that clock is a system call, about 1.8 us in this virtual machine,
// a fifth of a 4096-point batch on AVX-512: small work is repeated so that
// each timing spans at least about 32768 points.
template <typename Work>
double seconds_per_run(Work&& work, std::size_t points) {
  const std::size_t runs = points < 32768 ? 32768 / points : 1;
  const double start = thread_seconds();
  for (std::size_t i = 0; i < runs; ++i) work();
  return (thread_seconds() - start) / static_cast<double>(runs);
}

// Times both pieces of work (each over `points` points) once per iteration,
// the first one first on even iterations and second on odd ones, and reports
// numerator / denominator.
template <typename Numerator, typename Denominator>
void report_ratio(benchmark::State& state, std::size_t points, Numerator&& numerator,
                  Denominator&& denominator) {
  double top = 0.0;
  double bottom = 0.0;
  bool top_first = true;
  for (auto _ : state) {
    if (top_first) top += seconds_per_run(numerator, points);
    bottom += seconds_per_run(denominator, points);
    if (!top_first) top += seconds_per_run(numerator, points);
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

void portable_scalar_one_plane(const Scene& s, std::span<Vector3> out) {
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    lighting::portable::diffused_energy(s.points[i], s.normal, s.reflectance, s.light, out[i]);
  }
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
}

void portable_batch_one_plane(const Scene& s, std::span<Vector3> out) {
  lighting::portable::diffused_energy(s.points, s.normal, s.reflectance, s.light, out);
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

// The same points as batches of 8.
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
  benchmark::DoNotOptimize(bench::divider_floor(lighting::detail::batch_kernels().target,
                                                s.points.data(), s.points.size()));
}

// --- the measures -----------------------------------------------------------

struct Measure {
  const char* name;
  void (*run)(benchmark::State&, const Scene&, std::span<Vector3>);
  // The goal on a target, or empty where there is none.
  std::string (*goal)(std::string_view target);
  bool also_large;  // measured at 1M points too
};

std::string speedup_goal(std::string_view target) {
  if (target == "avx512") return "goal >= 16";
  if (target == "avx2") return "goal >= 12";
  if (target == "sse4") return "goal >= 7";
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
           state, s.points.size(), [&] { scalar_one_plane(s, out); },
           [&] { batch_one_plane(s, out); });
     },
     speedup_goal, true},
    {"PortableOnePlaneVsScalar",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, s.points.size(), [&] { portable_scalar_one_plane(s, out); },
           [&] { portable_batch_one_plane(s, out); });
     },
     no_goal, true},
    {"PerPointVsScalar",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, s.points.size(), [&] { scalar_per_point(s, out); },
           [&] { batch_per_point(s, out); });
     },
     per_point_goal, false},
    {"ReceivedVsScalar",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, s.points.size(), [&] { scalar_received(s, out); },
           [&] { batch_received(s, out); });
     },
     no_goal, false},
    {"OnePlaneVsFloor",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, s.points.size(), [&] { batch_one_plane(s, out); }, [&] { divider_floor(s); });
     },
     floor_goal, true},
    {"PortableOnePlaneVsFloor",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, s.points.size(), [&] { portable_batch_one_plane(s, out); },
           [&] { divider_floor(s); });
     },
     floor_goal, true},
    {"PerPointVsFloor",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, s.points.size(), [&] { batch_per_point(s, out); }, [&] { divider_floor(s); });
     },
     floor_goal, false},
    {"EightVsScalar",
     [](benchmark::State& state, const Scene& s, std::span<Vector3> out) {
       report_ratio(
           state, s.points.size(), [&] { scalar_one_plane(s, out); },
           [&] { small_batches(s, out); });
     },
     small_batch_goal, false},
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

// Lanes recomputed per point, per flavour, over the uniform box; the time
// is the batch's alone.
void fallback_rate(benchmark::State& state) {
  const Scene& s = uniform_box();
  std::vector<Vector3> out(s.points.size());
  std::uint64_t pow_lanes = 0, portable_lanes = 0, points = 0;  // over every pass
  for (auto _ : state) {
    std::uint64_t before = lighting::detail::batch_fallback_lanes();
    lighting::diffused_energy(s.points, s.normal, s.reflectance, s.light, out);
    pow_lanes += lighting::detail::batch_fallback_lanes() - before;
    before = lighting::detail::batch_fallback_lanes();
    lighting::portable::diffused_energy(s.points, s.normal, s.reflectance, s.light, out);
    portable_lanes += lighting::detail::batch_fallback_lanes() - before;
    points += s.points.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["pow_rate"] = static_cast<double>(pow_lanes) / static_cast<double>(points);
  state.counters["portable_rate"] =
      static_cast<double>(portable_lanes) / static_cast<double>(points);
  // The same points each pass: the rate is that of these distinct points.
  state.counters["distinct_points"] = static_cast<double>(s.points.size());
}

// Switches to the target for the run (once: the switch reads CPUID, which
// traps in a virtual machine) and back.
template <typename Run>
void on_target(benchmark::State& state, const std::string& target, const std::string& label,
               Run run) {
  if (!lighting::detail::use_batch_target(target)) {
    state.SkipWithError("target not available");
    return;
  }
  run();
  lighting::detail::use_batch_target({});
  state.SetLabel(label);
}

void register_measures() {
  for (const std::string& target : targets_to_measure()) {
    for (const std::size_t size : kSizes) {
      for (const Measure& measure : kMeasures) {
        if (size != kSizes[0] && !measure.also_large) continue;
        const std::string goal = size == kSizes[0] ? measure.goal(target) : "";
        const std::string label = goal.empty() ? target : target + ", " + goal;
        benchmark::RegisterBenchmark(
            (std::string("BM_") + measure.name + "/" + target + "/" + std::to_string(size)).c_str(),
            [target, label, size, run = measure.run](benchmark::State& state) {
              on_target(state, target, label, [&] {
                std::vector<Vector3> out(size);
                run(state, scene(size), out);
              });
            });
      }
    }
    benchmark::RegisterBenchmark(("BM_FallbackRate/" + target).c_str(),
                                 [target](benchmark::State& state) {
                                   on_target(state, target, target, [&] { fallback_rate(state); });
                                 });
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
