// lighting-render: the diffused energy of a lit surface patch as a PNG or an OpenEXR image.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "exr_render.hpp"
#include "output_file.hpp"
#include "png_render.hpp"

namespace {

// Exit statuses, as the help states them.
constexpr int kWritten = 0;
constexpr int kNotWritten = 1;
constexpr int kBadCommandLine = 2;
constexpr int kSummaryNotWritten = 3;

// The summary must not land inside the image: when the image goes to
// standard output ("-", /dev/stdout, the file stdout is redirected to), the
// summary goes to stderr.
std::FILE* summary_stream(const std::string& output) {
  if (output == "-") return stderr;
  struct stat target {};
  struct stat standard_output {};
  const bool same =
      stat(output.c_str(), &target) == 0 && fstat(STDOUT_FILENO, &standard_output) == 0 &&
      target.st_dev == standard_output.st_dev && target.st_ino == standard_output.st_ino;
  return same ? stderr : stdout;
}

// Whether everything sent to the stream reached it: a write can fail while
// an earlier part of a long text is sent, and a later flush succeed.
bool flushed_whole(std::FILE* stream) {
  return std::fflush(stream) == 0 && std::ferror(stream) == 0;
}

// A standard descriptor that is closed at start is taken by /dev/null, open
// read-only: no file this program opens can then get its number and receive
// what is meant for it, and writing to it still fails.
void hold_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

// The help or the version on stdout, which must take all of it.
int show(const std::string& text, const char* what) {
  std::fputs(text.c_str(), stdout);
  if (flushed_whole(stdout)) return kWritten;
  std::fprintf(stderr, "lighting-render: cannot write the %s: %s\n", what, std::strerror(errno));
  return kNotWritten;
}

// Renders in the format the options name and returns the summary line's
// description of what was written, after the path and the size.
std::string render_image(const render::Options& options, int threads,
                         const render::Progress& progress, std::int64_t& non_finite_pixels) {
  char text[128];
  if (options.format == render::ImageFormat::exr) {
    render::ExrSettings settings;
    settings.compression = options.compression;
    non_finite_pixels = render::render_exr(options, threads, settings, progress).non_finite_pixels;
    std::snprintf(text, sizeof text, "32-bit float OpenEXR (%s)",
                  std::string(render::exr_compression_name(options.compression)).c_str());
  } else {
    const auto result =
        render::render_png(options, threads, render::default_png_settings(), progress);
    non_finite_pixels = result.non_finite_pixels;
    std::snprintf(text, sizeof text, "exposure %.9g", result.exposure);
  }
  return text;
}

}  // namespace

// Blanks over the progress percentage on a terminal, the cursor back at the
// start of its line.
constexpr const char* kEraseProgress = "\r                       \r";

int main(int argc, char** argv) {
  hold_closed_standard_descriptors();
  render::Options options;
  try {
    options = render::parse_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "lighting-render: %s\n", error.what());
    return kBadCommandLine;
  }
  if (options.help) return show(render::help_text(), "help");
  if (options.version) return show(render::version_text(), "version");

  render::install_signal_handlers();
  const auto [threads, warning] =
      render::thread_count(options.threads, std::getenv("OMP_NUM_THREADS"));
  if (!warning.empty()) std::fprintf(stderr, "lighting-render: warning: %s\n", warning.c_str());
  const bool show_progress = isatty(STDERR_FILENO) != 0;
  std::FILE* summary = summary_stream(options.output);
  try {
    int shown = -1;  // the percentage on screen, redrawn only when it changes
    std::int64_t non_finite_pixels = 0;
    const std::string written = render_image(
        options, threads,
        [&](double done) {
          const int percent = static_cast<int>(100.0 * done);
          if (!show_progress || percent == shown) return;
          shown = percent;
          std::fprintf(stderr, "\rlighting-render: %3d%%", percent);
        },
        non_finite_pixels);
    if (show_progress) std::fputs(kEraseProgress, stderr);
    std::fprintf(summary, "lighting-render: wrote %s, %dx%d, %s, %lld non-finite pixel%s\n",
                 render::printable_name(options.output).c_str(), options.width, options.height,
                 written.c_str(), static_cast<long long>(non_finite_pixels),
                 non_finite_pixels == 1 ? "" : "s");
  } catch (const std::exception& error) {
    // The percentage, if one is shown, is erased rather than left above the
    // error, so that the error is the one line on stderr.
    if (show_progress) std::fputs(kEraseProgress, stderr);
    std::fprintf(stderr, "lighting-render: %s\n", error.what());
    return kNotWritten;
  }
  if (!flushed_whole(summary)) {
    std::fprintf(stderr, "lighting-render: the image was written, but not the summary: %s\n",
                 std::strerror(errno));
    return kSummaryNotWritten;
  }
  return kWritten;
}
