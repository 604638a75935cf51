// The PNG render: the optional exposure scan, then the patch shaded,
// tone-mapped and encoded a block at a time through the render driver
// (render_blocks.hpp) and written in order.
#pragma once

#include <cstdint>

#include "options.hpp"
#include "pipeline.hpp"
#include "png_output.hpp"
#include "surface.hpp"

namespace render {

struct RenderResult {
  double exposure;
  std::int64_t non_finite_pixels;
};

// The brightest finite channel value of the image and its non-finite pixels,
// shading every pixel once (the first pass of an automatic exposure).
struct EnergyScan {
  float brightest;
  std::int64_t non_finite_pixels;
};
EnergyScan scan_energy(const Scene& scene, const Patch& patch, int threads,
                       const Progress& progress = {});

// Renders options.scene to options.output on at most `threads` threads (no
// more than the cores). The target is opened and the PNG's head written
// before anything is shaded, so that a target that cannot be written fails
// at once. Memory stays proportional to the image's width whatever the
// thread count: see pipeline.hpp.
RenderResult render_png(const Options& options, int threads, PngSettings settings,
                        const Progress& progress = {});

}  // namespace render
