// The render's one pipeline, shared by both formats: the image is cut into
// blocks of rows; workers shade and encode whole blocks, any block on any
// worker, and the encoded blocks are written strictly in order by whichever
// worker finishes the block that is due. Each format supplies only its
// encoder.
//
// Memory stays flat: a block is only started when one of a fixed number of
// slots is free, and a slot is freed only when its block has been written, so
// at most `slots` blocks exist at once however far the encoding outruns the
// writing. The pool is never larger than the cores can run, whatever the
// thread count asked for.
#pragma once

#include <functional>

namespace render {

// Called with the fraction of the image done, from the calling thread.
using Progress = std::function<void(double)>;

// The threads worth running for a request of `requested`: at least 1, at most
// the cores this process may run on.
int usable_threads(int requested);

struct PipelineShape {
  int blocks;   // blocks of the image, numbered from 0, top first
  int workers;  // threads shading and encoding, the calling thread among them
  int slots;    // blocks that may exist at once, started but not yet written
};

// Blocks in flight for `workers`: each worker's own, and as many again
// finished and waiting to be written, so that a slow write does not stall
// the workers at once.
int pipeline_slots(int workers);

// Encodes a block into a slot, on worker `worker` (0 to workers - 1). A
// worker runs one block at a time, so per-worker state needs no lock.
using EncodeBlock = std::function<void(int block, int slot, int worker)>;
// Writes a slot's encoded block; called for blocks 0, 1, 2, ... in order,
// one at a time, from any worker.
using WriteBlock = std::function<void(int block, int slot)>;

// Runs every block through encode and then write, slot = block % slots. The
// first exception thrown by either stops the other workers (blocks under way
// are finished, no new ones started) and is rethrown here once every worker
// has stopped. progress gets the fraction of blocks written.
void run_pipeline(const PipelineShape& shape, const EncodeBlock& encode, const WriteBlock& write,
                  const Progress& progress = {});

}  // namespace render
