// The render to OpenEXR: the energies shaded a block of rows at a time and
// streamed to the file unchanged, no exposure, no clamp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exr_output.hpp"
#include "options.hpp"
#include "pipeline.hpp"

namespace render {

struct ExrRenderResult {
  std::int64_t non_finite_pixels;  // pixels with an infinite or NaN channel, kept as they are
};

// The most rows a block holds: a whole number of chunks for every
// compression (1, 16 or 32 rows each).
inline constexpr int kExrBlockRows = 64;
// Blocks are cut smaller than that for wide images, to about this many bytes
// of energies (but never less than one chunk)...
inline constexpr std::size_t kExrBlockBytes = std::size_t{2} << 20;
// ...and the workers are capped so that their blocks, their encoders'
// buffers and the blocks waiting to be written stay within this budget, on
// any number of cores.
inline constexpr std::size_t kExrMemoryBudget = std::size_t{80} << 20;

// How an image is cut and how many workers encode it.
struct ExrBlocking {
  int block_rows;  // a whole number of chunks, or the whole image
  int workers;
};
ExrBlocking exr_blocking(int width, int height, int rows_per_chunk, int threads);

// Renders options.scene to options.output through the render driver
// (render_blocks.hpp): blocks shaded and encoded on at most `threads` threads
// (no more than the cores and the memory budget allow), written in order.
ExrRenderResult render_exr(const Options& options, int threads, const ExrSettings& settings,
                           const Progress& progress = {});

}  // namespace render
