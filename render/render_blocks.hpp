// The render driver, one for every format: the patch is shaded a block of
// rows at a time on the pipeline (pipeline.hpp), and the format's encoder
// turns each block's energies into bytes and writes the blocks in order. The
// driver sizes the worker pool and sums the non-finite pixels per worker, so
// that no format sets threads up itself.
#pragma once

#include <lighting/lighting.hpp>

#include <climits>
#include <cstdint>
#include <span>

#include "pipeline.hpp"
#include "surface.hpp"

namespace render {

// How a format wants the image cut.
struct BlockShape {
  int block_rows;              // rows per block, the last block perhaps fewer
  int rows_per_pass;           // rows shaded before add_rows sees them: 1 keeps them in cache
  int most_workers = INT_MAX;  // the format's own cap (its memory), besides the cores
};

// Where a block runs: the block's number, its slot and its worker (0 to
// workers - 1). A worker runs one block at a time, so per-worker state needs
// no lock.
struct BlockAt {
  int block;
  int slot;
  int worker;
};

// A format's side of the render. For each block, on one worker: begin, then
// add_rows for its rows in passes, top first, then finish. write is called
// for blocks 0, 1, 2, ... in order, one at a time, from any worker. An
// exception from any of them stops the render and comes out of
// render_blocks.
class BlockEncoder {
 public:
  virtual ~BlockEncoder() = default;
  // Once, before any block: the workers and the slots that the blocks use.
  virtual void prepare(const PipelineShape& shape) = 0;
  virtual void begin(const BlockAt&) {}
  // `energy` holds whole rows of the patch's width, the first being
  // first_row. Returns how many of its pixels have an infinite or NaN
  // channel: the encoder looks at every value anyway (the tone map blacks
  // those pixels out), so a second pass to count them would only cost time.
  virtual std::int64_t add_rows(const BlockAt& at, int first_row,
                                std::span<const lighting::Vector3> energy) = 0;
  virtual void finish(const BlockAt&) {}
  virtual void write(int /*block*/, int /*slot*/) {}
};

// The pool for a request of `threads`: no more workers than the cores, the
// blocks and the format's cap allow.
PipelineShape block_pipeline_shape(const Patch& patch, const BlockShape& cut, int threads);

// Shades every pixel of the patch once, through `encoder`, on the pool that
// block_pipeline_shape gives. Returns the sum of add_rows' counts of
// non-finite pixels. progress gets the fraction of blocks written.
std::int64_t render_blocks(const Scene& scene, const Patch& patch, const BlockShape& cut,
                           int threads, BlockEncoder& encoder, const Progress& progress = {});

}  // namespace render
