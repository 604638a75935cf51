// lighting-render's stages in pixels per second, and the speed targets, each
// measured as a ratio of two timings taken in the same run ("shading" is
// every pixel's diffused_energy through shade_row, as the renderer runs it):
//   ShadeVsBareLoop   1-thread shading / a bare loop of diffused_energy    <= 1.15
//   ThreadScaling     1-thread shading / 2-thread shading                  >= 1.8
//   RenderVsShade     whole render (shade, encode, write) / shading alone  <= 1.5 fixed
//                                                                          <= 2.5 automatic
//   BatchVsScalar     rows through the scalar function / shade_row's batch  >= 8 on AVX-512
//                     (1 thread, CPU time; the counter "avx512" says whether it ran there)
//   RenderVsEncode    whole PNG render / encoding the same rows alone      <= 1.25 fixed
//                     (the encoding alone is PngFileWriter, on one thread)
//   RenderThreadScaling  whole 1-thread PNG render / whole 2-thread render >= 1.7
//                     ("cpu_ratio": 2-thread / 1-thread process CPU time, the
//                     pipeline's overhead whatever the machine's load;
//                     "shade_speedup": the shading alone, what the machine
//                     gives a second thread at the time)
// and the memory goal: PeakMemory runs lighting-render on an 8192 x 8192 image
// in a child process and reports its peak resident set (goal: < 64 MiB), and
// the same for 4096 x 4096 with 1024 threads (memory flat in the thread count).
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "pipeline.hpp"
#include "png_file_writer.hpp"
#include "png_render.hpp"
#include "render_bench_support.hpp"
#include "tone.hpp"

namespace {

using render_bench::cpu_seconds;
using render_bench::patch_for;
using render_bench::seconds;
using render_bench::shade_all;

render::Options options_for(int side) {
  return render_bench::options_for(side, "lighting-render-bench", ".png");
}

void set_pixels(benchmark::State& state, int side) {
  state.SetItemsProcessed(state.iterations() * side * side);
  state.counters["pixels/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * side * side, benchmark::Counter::kIsRate);
}

// --- Stages ------------------------------------------------------------------

void BM_Shade(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  const auto options = options_for(side);
  const auto patch = patch_for(options);
  for (auto _ : state) shade_all(options.scene, patch, threads);
  set_pixels(state, side);
}

void BM_ToneMap(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  const auto options = options_for(side);
  const auto patch = patch_for(options);
  // One shaded band, mapped over and over: the stage alone, without its memory.
  constexpr int kBand = 16;
  std::vector<std::vector<lighting::Vector3>> band(
      kBand, std::vector<lighting::Vector3>(static_cast<std::size_t>(side)));
  for (int row = 0; row < kBand; ++row)
    render::shade_row(options.scene, patch, row, band[static_cast<std::size_t>(row)]);
  const auto tone = render::make_tone_table(6.4);
  for (auto _ : state) {
    render_bench::on_bands(side, threads, [&](int first, int end) {
      std::vector<std::uint8_t> rgb(3 * static_cast<std::size_t>(side));
      for (int row = first; row < end; ++row) {
        benchmark::DoNotOptimize(
            render::tone_map_row(tone, band[static_cast<std::size_t>(row % kBand)], rgb));
      }
    });
  }
  set_pixels(state, side);
}

void BM_Encode(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const auto options = options_for(side);
  const auto patch = patch_for(options);
  const auto tone = render::make_tone_table(6.4);
  std::vector<std::vector<std::uint8_t>> rows;
  std::vector<lighting::Vector3> energy(static_cast<std::size_t>(side));
  for (int row = 0; row < side; ++row) {
    render::shade_row(options.scene, patch, row, energy);
    rows.emplace_back(3 * static_cast<std::size_t>(side));
    render::tone_map_row(tone, energy, rows.back());
  }
  const auto settings =
      render::PngSettings{static_cast<int>(state.range(1)), static_cast<int>(state.range(2)),
                          static_cast<int>(state.range(3))};
  long size = 0;
  for (auto _ : state) {
    render::PngFileWriter writer(options.output, side, side, settings);
    for (const auto& row : rows) writer.write_row(row);
    writer.commit();
    state.PauseTiming();
    if (std::FILE* file = std::fopen(options.output.c_str(), "rb")) {
      std::fseek(file, 0, SEEK_END);
      size = std::ftell(file);
      std::fclose(file);
    }
    state.ResumeTiming();
  }
  std::remove(options.output.c_str());
  state.counters["bytes"] = static_cast<double>(size);
  set_pixels(state, side);
}

// --- Targets, as ratios -------------------------------------------------------

void BM_ShadeVsBareLoop(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const auto options = options_for(side);
  const auto patch = patch_for(options);
  std::vector<lighting::Vector3> points;
  points.reserve(static_cast<std::size_t>(side) * static_cast<std::size_t>(side));
  for (int row = 0; row < side; ++row) {
    for (int column = 0; column < side; ++column) {
      points.push_back(render::patch_point(patch, column, row));
    }
  }
  const auto& scene = options.scene;
  std::vector<lighting::Vector3> energy(static_cast<std::size_t>(side));
  double bare = 0.0;
  double shade = 0.0;
  for (auto _ : state) {
    bare += seconds([&] {
      for (std::size_t i = 0; i < points.size(); ++i) {
        lighting::diffused_energy(points[i], scene.normal, scene.reflectance, scene.light,
                                  energy[i % energy.size()]);
      }
      benchmark::DoNotOptimize(energy.data());
    });
    shade += seconds([&] { shade_all(scene, patch, 1); });
  }
  state.counters["ratio"] = shade / bare;  // target <= 1.15
}

void BM_ThreadScaling(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const auto options = options_for(side);
  const auto patch = patch_for(options);
  double one = 0.0;
  double two = 0.0;
  for (auto _ : state) {
    one += seconds([&] { shade_all(options.scene, patch, 1); });
    two += seconds([&] { shade_all(options.scene, patch, 2); });
  }
  state.counters["speedup"] = one / two;  // target >= 1.8
}

void BM_RenderVsShade(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const bool automatic = state.range(1) != 0;
  auto options = options_for(side);
  if (!automatic) options.exposure = 6.4;
  const auto patch = patch_for(options);
  const int threads = render::usable_threads(1 << 20);
  double shade = 0.0;
  double whole = 0.0;
  for (auto _ : state) {
    shade += seconds([&] { shade_all(options.scene, patch, threads); });
    whole += seconds([&] { render::render_png(options, threads, render::default_png_settings()); });
  }
  std::remove(options.output.c_str());
  state.counters["ratio"] = whole / shade;  // target <= 1.5 fixed, <= 2.5 automatic
}

// The same rows as shade_row shades, from the same points (row_points, as
// shade_row makes them), one scalar call per pixel: what the renderer did
// before it shaded through the batch function.
void shade_all_scalar(const render::Scene& scene, const render::Patch& patch) {
  std::vector<lighting::Vector3> points(static_cast<std::size_t>(patch.width));
  std::vector<lighting::Vector3> energy(static_cast<std::size_t>(patch.width));
  for (int row = 0; row < patch.height; ++row) {
    render::row_points(patch, row, 0, points);
    for (std::size_t column = 0; column < points.size(); ++column) {
      lighting::diffused_energy(points[column], scene.normal, scene.reflectance, scene.light,
                                energy[column]);
    }
    benchmark::DoNotOptimize(energy.data());
  }
}

void BM_BatchVsScalar(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const auto options = options_for(side);
  const auto patch = patch_for(options);
  double scalar = 0.0;
  double batch = 0.0;
  for (auto _ : state) {
    // One thread each (a pool of one is the calling thread).
    scalar += cpu_seconds(CLOCK_THREAD_CPUTIME_ID, [&] { shade_all_scalar(options.scene, patch); });
    batch += cpu_seconds(CLOCK_THREAD_CPUTIME_ID, [&] { shade_all(options.scene, patch, 1); });
  }
  state.counters["ratio"] = scalar / batch;  // goal >= 8 on AVX-512
  state.counters["avx512"] = lighting::batch_target() == "avx512" ? 1.0 : 0.0;
  state.SetLabel(std::string(lighting::batch_target()));
}

void BM_RenderVsEncode(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const bool automatic = state.range(1) != 0;
  const int threads = static_cast<int>(state.range(2));
  auto options = options_for(side);
  const double exposure = 6.4;
  if (!automatic) options.exposure = exposure;
  const auto patch = patch_for(options);
  const auto tone = render::make_tone_table(exposure);
  std::vector<std::vector<std::uint8_t>> rows;
  std::vector<lighting::Vector3> energy(static_cast<std::size_t>(side));
  for (int row = 0; row < side; ++row) {
    render::shade_row(options.scene, patch, row, energy);
    rows.emplace_back(3 * static_cast<std::size_t>(side));
    render::tone_map_row(tone, energy, rows.back());
  }
  double encode = 0.0;
  double whole = 0.0;
  for (auto _ : state) {
    encode += seconds([&] {
      render::PngFileWriter writer(options.output, side, side, render::default_png_settings());
      for (const auto& row : rows) writer.write_row(row);
      writer.commit();
    });
    whole += seconds([&] { render::render_png(options, threads, render::default_png_settings()); });
  }
  std::remove(options.output.c_str());
  state.counters["ratio"] = whole / encode;  // goal <= 1.25 with a fixed exposure
}

// Side, automatic exposure.
void BM_RenderThreadScaling(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  auto options = options_for(side);
  if (state.range(1) == 0) options.exposure = 6.4;
  const auto patch = patch_for(options);
  const auto render_on = [&](int threads, double& cpu) {
    std::remove(options.output.c_str());
    double wall = 0.0;
    cpu += cpu_seconds(CLOCK_PROCESS_CPUTIME_ID, [&] {
      wall = seconds([&] { render::render_png(options, threads, render::default_png_settings()); });
    });
    return wall;
  };
  double one = 0.0;
  double two = 0.0;
  double cpu_one = 0.0;
  double cpu_two = 0.0;
  double shade_one = 0.0;
  double shade_two = 0.0;
  for (auto _ : state) {
    one += render_on(1, cpu_one);
    two += render_on(2, cpu_two);
    shade_one += seconds([&] { shade_all(options.scene, patch, 1); });
    shade_two += seconds([&] { shade_all(options.scene, patch, 2); });
  }
  std::remove(options.output.c_str());
  state.counters["speedup"] = one / two;            // goal >= 1.7
  state.counters["cpu_ratio"] = cpu_two / cpu_one;  // the second thread's overhead
  // The same ratio for the shading alone, which needs no coordination: what
  // the machine gives two threads at the time, a busy one well under 2.
  state.counters["shade_speedup"] = shade_one / shade_two;
  state.counters["one_thread_ms"] =
      benchmark::Counter(1e3 * one / static_cast<double>(state.iterations()));
}

void BM_PeakMemory(benchmark::State& state) {
  render_bench::report_peak_memory(state, LIGHTING_RENDER_PROGRAM, options_for(0).output);
}

void sides_and_threads(benchmark::internal::Benchmark* b) {
  for (const int side : {256, 1024, 4096}) {
    for (const int threads : {1, 2}) b->Args({side, threads});
  }
}

// First: Linux carries a process's peak resident set across exec, so the
// child must be started before the other benchmarks have grown this process.
BENCHMARK(BM_PeakMemory)
    ->Args({8192, 8192, 0})
    ->Args({4096, 4096, 1024})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Shade)->Apply(sides_and_threads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ToneMap)->Apply(sides_and_threads)->Unit(benchmark::kMillisecond)->UseRealTime();
// Side, zlib level, filters (8 none, 16 sub, 32 up, 64 avg, 128 paeth, 248
// all), zlib strategy (0 default, 3 run-length: the renderer's).
BENCHMARK(BM_Encode)
    ->ArgsProduct({{256, 1024, 4096}, {1}, {32}, {3}})
    ->Args({4096, 0, 8, 0})
    ->Args({4096, 1, 8, 0})
    ->Args({4096, 1, 32, 0})
    ->Args({4096, 1, 16, 0})
    ->Args({4096, 1, 248, 0})
    ->Args({4096, 3, 32, 0})
    ->Args({4096, 6, 32, 0})
    ->Args({4096, 6, 248, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ShadeVsBareLoop)->Arg(1024)->Arg(4096)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreadScaling)->Arg(1024)->Arg(4096)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderVsShade)
    ->Args({4096, 0})
    ->Args({4096, 1})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_BatchVsScalar)->Arg(256)->Arg(4096)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderThreadScaling)
    ->Args({256, 0})
    ->Args({4096, 0})
    ->Args({4096, 1})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Side, automatic exposure, threads (3: more than 2 cores, which the render
// caps at the cores).
BENCHMARK(BM_RenderVsEncode)
    ->Args({256, 0, 2})
    ->Args({4096, 0, 2})
    ->Args({4096, 1, 2})
    ->Args({4096, 0, 3})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
