// The command line of lighting-render.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "exr_output.hpp"
#include "surface.hpp"

namespace render {

inline constexpr int kMaxSide = 16384;

enum class ImageFormat { png, exr };

struct Options {
  Scene scene;
  int width = 512;
  int height = 512;
  double extent = 8.0;
  std::optional<double> exposure;  // automatic when empty
  std::optional<int> threads;      // thread_count()'s default when empty
  std::string output = "lighting.png";
  bool help = false;
  bool version = false;  // --version, unless --help is given too
  bool force = false;    // --force: write the image even to a terminal
  // --format, else from the output's name: EXR for a name ending in ".exr"
  // (any case), PNG otherwise.
  ImageFormat format = ImageFormat::png;
  ExrCompression compression = ExrCompression::zip;  // --compression, EXR only
};

// The demo's scene: point (1, 2, 0), normal (0, 0, 1), reflectance
// (0.5, 0.5, 1), light at (-1, 2, 4), colour (1, 0.5, 0.5), intensity 5.
Scene default_scene();

// Parses argv[1..]; throws std::invalid_argument with a one-line message that
// names the option and the value.
Options parse_options(const std::vector<std::string>& arguments);

std::string help_text();

// The render's one thread rule: `requested` (--threads) when given, else
// OMP_NUM_THREADS (the value passed, or null when unset) when it is not
// empty, else every core; capped at the cores this process may run on. An
// OMP_NUM_THREADS that is not an integer of 1 or more (blanks around it
// allowed) is ignored, and `warning` says so in one line; it is empty
// otherwise.
struct ThreadCount {
  int threads;
  std::string warning;
};
ThreadCount thread_count(std::optional<int> requested, const char* omp_num_threads);

// "lighting-render VERSION", the project's version, and a newline.
std::string version_text();

}  // namespace render
