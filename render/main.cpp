// lighting-render: the diffused energy of a lit surface patch as a PNG or an OpenEXR image.
#include <omp.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "exr_render.hpp"
#include "render.hpp"

namespace {

// On an interrupt, remove the half-written temporary file before dying.
extern "C" void remove_temporary_and_exit(int signal_number) {
  if (const char* pending = render::pending_temporary_file()) unlink(pending);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// The EXR branch of main: renders, prints the summary line, returns the status.
int render_exr_and_report(const render::Options& options, int threads, bool show_progress) {
  try {
    int shown = -1;  // the percentage on screen, redrawn only when it changes
    render::ExrSettings settings;
    settings.compression = options.compression;
    settings.threads = threads;
    const auto result = render::render_exr(options, threads, settings, [&](double done) {
      const int percent = static_cast<int>(100.0 * done);
      if (!show_progress || percent == shown) return;
      shown = percent;
      std::fprintf(stderr, "\rlighting-render: %3d%%", percent);
    });
    if (show_progress) std::fputs("\r                       \r", stderr);
    std::printf(
        "lighting-render: wrote %s, %dx%d, 32-bit float OpenEXR (%s), %lld non-finite pixels\n",
        options.output.c_str(), options.width, options.height,
        std::string(render::exr_compression_name(options.compression)).c_str(),
        static_cast<long long>(result.non_finite_pixels));
  } catch (const std::exception& error) {
    if (show_progress) std::fputs("\n", stderr);
    std::fprintf(stderr, "lighting-render: %s\n", error.what());
    return 1;
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "lighting-render: cannot write the summary: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  render::Options options;
  try {
    options = render::parse_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "lighting-render: %s\n", error.what());
    return 2;
  }
  if (options.help) {
    std::fputs(render::help_text().c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }

  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    std::signal(signal_number, remove_temporary_and_exit);
  }

  const int threads = options.threads.value_or(omp_get_num_procs());
  const bool show_progress = isatty(STDERR_FILENO) != 0;
  if (options.format == render::ImageFormat::exr) {
    return render_exr_and_report(options, threads, show_progress);
  }
  try {
    int shown = -1;  // the percentage on screen, redrawn only when it changes
    const auto result =
        render::render_png(options, threads, render::default_png_settings(), [&](double done) {
          const int percent = static_cast<int>(100.0 * done);
          if (!show_progress || percent == shown) return;
          shown = percent;
          std::fprintf(stderr, "\rlighting-render: %3d%%", percent);
        });
    if (show_progress) std::fputs("\r                       \r", stderr);
    std::printf("lighting-render: wrote %s, %dx%d, exposure %.9g, %lld non-finite pixels\n",
                options.output.c_str(), options.width, options.height, result.exposure,
                static_cast<long long>(result.non_finite_pixels));
  } catch (const std::exception& error) {
    if (show_progress) std::fputs("\n", stderr);
    std::fprintf(stderr, "lighting-render: %s\n", error.what());
    return 1;
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "lighting-render: cannot write the summary: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
