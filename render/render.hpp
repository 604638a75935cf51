// The whole render: shading in parallel, tone mapping, streaming PNG output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "options.hpp"
#include "png_output.hpp"

namespace render {

struct RenderResult {
  double exposure;
  std::int64_t non_finite_pixels;
};

// Called with the fraction of the image done, from the calling thread.
using Progress = std::function<void(double)>;

// The brightest finite channel value of the image and its non-finite pixels,
// shading every pixel once (the first pass of an automatic exposure).
struct EnergyScan {
  float brightest;
  std::int64_t non_finite_pixels;
};
EnergyScan scan_energy(const Scene& scene, const Patch& patch, int threads,
                       const Progress& progress = {});

// Renders options.scene to options.output. Memory stays proportional to the
// image's width: rows are shaded in bands and streamed to the encoder, which
// runs on its own thread while the next band is shaded.
RenderResult render_png(const Options& options, int threads, PngSettings settings,
                        const Progress& progress = {});

}  // namespace render
