// lighting-render's OpenEXR output, and its targets, each a ratio of two
// timings taken in the same run ("shading" is every pixel's diffused_energy
// through shade_row, as the renderer runs it, on the same threads):
//   ExrThreadScaling  whole 1-thread EXR render / whole 2-thread render    >= 1.7
//   ExrRenderVsShade  whole EXR render / its shading alone, 2 threads      <= 2
// the memory goal: ExrPeakMemory runs lighting-render on an 8192 x 8192 EXR
// in a child process and reports its peak resident set (goal: < 64 MiB), and
// 16384 x 2048 with 2, 64 and 1024 threads (goal: < 128 MiB for any count);
// ExrCompression, the time and the file size of each compression; and
// ExrStageCost, the core-seconds of each stage of a 1-thread render (process
// CPU time, so that other programs on the machine do not count).
// The files go to $TMPDIR (default /tmp): on a disk, the renders include
// syncing the file; TMPDIR=/dev/shm leaves that out.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "exr_render.hpp"
#include "render_bench_support.hpp"

namespace {

using render_bench::cpu_seconds;
using render_bench::patch_for;
using render_bench::seconds;
using render_bench::shade_all;

render::Options options_for(int side) {
  render::Options options = render_bench::options_for(side, "lighting-exr-bench", ".exr");
  options.format = render::ImageFormat::exr;
  return options;
}

render::ExrSettings settings_for(render::ExrCompression compression = render::ExrCompression::zip) {
  render::ExrSettings settings;
  settings.compression = compression;
  return settings;
}

// Each render makes a new file: replacing the last one would add the cost of
// freeing its blocks, which depends on the filesystem, not on the render.
double render_seconds(const render::Options& options, int threads,
                      const render::ExrSettings& settings) {
  std::remove(options.output.c_str());
  return seconds([&] { render::render_exr(options, threads, settings); });
}

long file_size(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

void BM_ExrThreadScaling(benchmark::State& state) {
  const auto options = options_for(static_cast<int>(state.range(0)));
  const auto patch = patch_for(options);
  double one = 0.0;
  double two = 0.0;
  double shade_one = 0.0;
  double shade_two = 0.0;
  for (auto _ : state) {
    one += render_seconds(options, 1, settings_for());
    two += render_seconds(options, 2, settings_for());
    shade_one += seconds([&] { shade_all(options.scene, patch, 1); });
    shade_two += seconds([&] { shade_all(options.scene, patch, 2); });
  }
  std::remove(options.output.c_str());
  state.counters["speedup"] = one / two;  // goal >= 1.7
  // The same ratio for the shading alone: what the machine gives two
  // threads at the time, a busy one well under 2.
  state.counters["shade_speedup"] = shade_one / shade_two;
}

// Side, compression.
void BM_ExrRenderVsShade(benchmark::State& state) {
  const auto options = options_for(static_cast<int>(state.range(0)));
  const auto patch = patch_for(options);
  const auto settings = settings_for(static_cast<render::ExrCompression>(state.range(1)));
  state.SetLabel(std::string(render::exr_compression_name(settings.compression)));
  double shade = 0.0;
  double whole = 0.0;
  for (auto _ : state) {
    shade += seconds([&] { shade_all(options.scene, patch, 2); });
    whole += render_seconds(options, 2, settings);
  }
  std::remove(options.output.c_str());
  state.counters["ratio"] = whole / shade;  // goal <= 2
}

// Side, compression, zip level (zip and zips only), on 2 threads.
void BM_ExrCompression(benchmark::State& state) {
  const auto options = options_for(static_cast<int>(state.range(0)));
  auto settings = settings_for(static_cast<render::ExrCompression>(state.range(1)));
  settings.zip_level = static_cast<int>(state.range(2));
  state.SetLabel(std::string(render::exr_compression_name(settings.compression)) +
                 (state.range(2) > 0 ? " level " + std::to_string(state.range(2)) : ""));
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(options.output.c_str());
    state.ResumeTiming();
    render::render_exr(options, 2, settings);
  }
  state.counters["MB"] = static_cast<double>(file_size(options.output)) / 1e6;
  std::remove(options.output.c_str());
}

// One thread: the shading alone, then whole renders with no compression and
// with each codec. "write" is what a render without compression adds to the
// shading (the copy into OpenEXR's line buffers, the chunk table, the writes);
// each codec's figure is what it adds to that.
void BM_ExrStageCost(benchmark::State& state) {
  using render::ExrCompression;
  const auto options = options_for(static_cast<int>(state.range(0)));
  const auto patch = patch_for(options);
  const auto render_cpu = [&](ExrCompression compression) {
    std::remove(options.output.c_str());
    return cpu_seconds(CLOCK_PROCESS_CPUTIME_ID,
                       [&] { render::render_exr(options, 1, settings_for(compression)); });
  };
  double shade = 0.0;
  double none = 0.0;
  double rle = 0.0;
  double zip = 0.0;
  double piz = 0.0;
  for (auto _ : state) {
    shade += cpu_seconds(CLOCK_PROCESS_CPUTIME_ID, [&] { shade_all(options.scene, patch, 1); });
    none += render_cpu(ExrCompression::none);
    rle += render_cpu(ExrCompression::rle);
    zip += render_cpu(ExrCompression::zip);
    piz += render_cpu(ExrCompression::piz);
  }
  std::remove(options.output.c_str());
  const auto per_run = [&](double total) {
    return benchmark::Counter(total / static_cast<double>(state.iterations()));
  };
  state.counters["shade_s"] = per_run(shade);
  state.counters["write_s"] = per_run(none - shade);
  state.counters["rle_s"] = per_run(rle - none);
  state.counters["zip_s"] = per_run(zip - none);
  state.counters["piz_s"] = per_run(piz - none);
}

void BM_ExrPeakMemory(benchmark::State& state) {
  render_bench::report_peak_memory(state, LIGHTING_RENDER_PROGRAM, options_for(0).output);
}

void compressions(benchmark::internal::Benchmark* b) {
  using render::ExrCompression;
  for (const int side : {256, 4096}) {
    b->Args({side, static_cast<int>(ExrCompression::none), 0});
    b->Args({side, static_cast<int>(ExrCompression::rle), 0});
    for (const int level : {1, 4, 6}) {
      b->Args({side, static_cast<int>(ExrCompression::zips), level});
      b->Args({side, static_cast<int>(ExrCompression::zip), level});
    }
    b->Args({side, static_cast<int>(ExrCompression::piz), 0});
  }
}

// First: Linux carries a process's peak resident set across exec, so the
// child must be started before the other benchmarks have grown this process.
BENCHMARK(BM_ExrPeakMemory)
    ->Args({8192, 8192, 0})
    ->Args({16384, 2048, 2})
    ->Args({16384, 2048, 64})
    ->Args({16384, 2048, 1024})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ExrThreadScaling)->Arg(256)->Arg(4096)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExrRenderVsShade)
    ->Args({256, static_cast<int>(render::ExrCompression::zip)})
    ->Args({4096, static_cast<int>(render::ExrCompression::zip)})
    ->Args({4096, static_cast<int>(render::ExrCompression::none)})
    ->Args({4096, static_cast<int>(render::ExrCompression::rle)})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExrStageCost)->Arg(256)->Arg(4096)->Iterations(3)->Unit(benchmark::kMillisecond);
// Time: the wall clock; CPU: the core-seconds of every thread, which other
// programs on a busy machine do not inflate.
BENCHMARK(BM_ExrCompression)
    ->Apply(compressions)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
