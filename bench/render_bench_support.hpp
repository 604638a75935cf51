// What the renderer's benchmarks share: clocks, the shading stage as the
// renderer runs it, and the peak memory of a lighting-render child process.
#pragma once

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "options.hpp"
#include "surface.hpp"

extern char** environ;

namespace render_bench {

template <typename Work>
double seconds(Work work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of `clock` over the work: CLOCK_THREAD_CPUTIME_ID for work on the
// calling thread alone, CLOCK_PROCESS_CPUTIME_ID for the core-seconds of all
// threads. On a shared machine, unlike the wall clock, neither counts the time
// other processes held the cores.
template <typename Work>
double cpu_seconds(clockid_t clock, Work work) {
  const auto now = [clock] {
    timespec time{};
    clock_gettime(clock, &time);
    return static_cast<double>(time.tv_sec) + 1e-9 * static_cast<double>(time.tv_nsec);
  };
  const double start = now();
  work();
  return now() - start;
}

// A default-scene render of side x side into a file of this process's own in
// $TMPDIR (default /tmp), named after the benchmark and the format.
inline render::Options options_for(int side, const std::string& file_stem,
                                   const std::string& extension) {
  render::Options options;
  options.scene = render::default_scene();
  options.width = options.height = side;
  const char* directory = std::getenv("TMPDIR");
  options.output = std::string(directory != nullptr && directory[0] != '\0' ? directory : "/tmp") +
                   "/" + file_stem + "-" + std::to_string(getpid()) + extension;
  return options;
}

inline render::Patch patch_for(const render::Options& options) {
  return render::make_patch(options.scene, options.width, options.height, options.extent);
}

// Rows 0 to rows - 1 cut into `threads` equal bands, band(first, end) run on
// each at once, the calling thread among them.
template <typename Band>
void on_bands(int rows, int threads, Band band) {
  const auto bound = [&](int index) {
    return static_cast<int>(static_cast<long long>(rows) * index / threads);
  };
  std::vector<std::thread> helpers;
  for (int index = 1; index < threads; ++index) {
    helpers.emplace_back([&, index] { band(bound(index), bound(index + 1)); });
  }
  band(bound(0), bound(1));
  for (auto& helper : helpers) helper.join();
}

// The shading stage as the renderer runs it: every row through shade_row on
// `threads` threads, into a row buffer per thread.
inline void shade_all(const render::Scene& scene, const render::Patch& patch, int threads) {
  on_bands(patch.height, threads, [&](int first, int end) {
    std::vector<lighting::Vector3> energy(static_cast<std::size_t>(patch.width));
    for (int row = first; row < end; ++row) {
      render::shade_row(scene, patch, row, energy);
      benchmark::DoNotOptimize(energy.data());
    }
  });
}

// Runs `program` on a width x height image written to `output`, with any
// further arguments, and returns its peak resident set in MiB, or nothing if
// it could not start or failed.
inline std::optional<double> peak_resident_mib(const char* program, int width, int height,
                                               const std::string& output,
                                               const std::vector<std::string>& extra = {}) {
  std::vector<std::string> words = {
      program, "--width", std::to_string(width), "--height", std::to_string(height), "-o", output};
  words.insert(words.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return {};
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  std::remove(output.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// The peak memory benchmark of both formats: the output's name says which.
// The arguments: width, height, and the thread count (0: the default).
inline void report_peak_memory(benchmark::State& state, const char* program,
                               const std::string& output) {
  const auto width = static_cast<int>(state.range(0));
  const auto height = static_cast<int>(state.range(1));
  std::vector<std::string> extra;
  if (state.range(2) > 0) extra = {"--threads", std::to_string(state.range(2))};
  double peak_mib = 0.0;
  for (auto _ : state) {
    const auto peak = peak_resident_mib(program, width, height, output, extra);
    if (!peak) {
      state.SkipWithError("lighting-render failed or could not start");
      return;
    }
    peak_mib = std::max(peak_mib, *peak);
  }
  state.counters["peak_MiB"] = peak_mib;
}

}  // namespace render_bench
