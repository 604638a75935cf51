// The render to OpenEXR: the energies shaded a block of rows at a time and
// streamed to the file unchanged, no exposure, no clamp.
#pragma once

#include <cstdint>

#include "exr_output.hpp"
#include "options.hpp"
#include "render.hpp"

namespace render {

struct ExrRenderResult {
  std::int64_t non_finite_pixels;  // pixels with an infinite or NaN channel, kept as they are
};

// Rows shaded per block. Blocks are shaded by tasks on OpenEXR's thread pool,
// the next one while OpenEXR compresses the current one on the same workers:
// two blocks in memory, never more threads at work than asked for.
inline constexpr int kExrBlockRows = 64;

// Renders options.scene to options.output; memory stays proportional to the
// image's width. `threads` sizes the one pool that shades and compresses,
// whatever settings.threads says.
ExrRenderResult render_exr(const Options& options, int threads, const ExrSettings& settings,
                           const Progress& progress = {});

}  // namespace render
