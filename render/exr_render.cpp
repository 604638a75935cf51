#include "exr_render.hpp"

#include <IlmThreadPool.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <span>
#include <vector>

#include "output_file.hpp"

namespace render {

namespace {

// Rows of one block, shaded or being shaded.
struct Block {
  int first_row = 0;
  int rows = 0;
  std::vector<lighting::Vector3> energy;

  std::span<lighting::Vector3> row(int index, std::size_t width) {
    return std::span(energy).subspan(static_cast<std::size_t>(index) * width, width);
  }
  std::span<const lighting::Vector3> shaded(std::size_t width) const {
    return std::span(energy).first(static_cast<std::size_t>(rows) * width);
  }
};

// What one shading task found. Each task has its own, so that the totals do
// not depend on which worker ran what.
struct SliceResult {
  std::int64_t non_finite = 0;
  std::exception_ptr error;
};

// A few rows of a block, shaded on a worker of OpenEXR's pool. The pool ends
// a worker that lets an exception out, so errors are kept for the caller.
class ShadeTask final : public IlmThread::Task {
 public:
  ShadeTask(IlmThread::TaskGroup& group, const Scene& scene, const Patch& patch, Block& block,
            int first, int rows, SliceResult& result)
      : Task(&group),
        scene_(scene),
        patch_(patch),
        block_(block),
        first_(first),
        rows_(rows),
        result_(result) {}

  void execute() override {
    try {
      const auto width = static_cast<std::size_t>(patch_.width);
      for (int index = first_; index < first_ + rows_; ++index) {
        const auto energy = block_.row(index, width);
        shade_row(scene_, patch_, block_.first_row + index, energy);
        for (const auto& e : energy) result_.non_finite += is_finite(e) ? 0 : 1;
      }
    } catch (...) {
      result_.error = std::current_exception();
    }
  }

 private:
  const Scene& scene_;
  const Patch& patch_;
  Block& block_;
  int first_;
  int rows_;
  SliceResult& result_;
};

// Enough pixels per task that handing it to a worker costs little beside
// shading it, and enough tasks per block to keep every worker busy.
constexpr int kPixelsPerTask = 16384;

// The shading of one block, handed to the pool at construction. Waits for
// its tasks when destroyed, so that an error elsewhere never leaves a worker
// writing into a freed block.
class BlockShading {
 public:
  BlockShading(const Scene& scene, const Patch& patch, Block& block) {
    const int rows_per_task = std::clamp(kPixelsPerTask / patch.width, 1, block.rows);
    results_.resize(static_cast<std::size_t>((block.rows + rows_per_task - 1) / rows_per_task));
    group_.emplace();
    for (std::size_t task = 0; task < results_.size(); ++task) {
      const int first = static_cast<int>(task) * rows_per_task;
      IlmThread::ThreadPool::addGlobalTask(
          new ShadeTask(*group_, scene, patch, block, first,
                        std::min(rows_per_task, block.rows - first), results_[task]));
    }
  }
  BlockShading(const BlockShading&) = delete;
  BlockShading& operator=(const BlockShading&) = delete;

  // Waits for every task; the block's non-finite pixels, or the first error.
  std::int64_t wait() {
    group_.reset();
    std::int64_t non_finite = 0;
    for (const auto& result : results_) {
      if (result.error) std::rethrow_exception(result.error);
      non_finite += result.non_finite;
    }
    return non_finite;
  }

 private:
  std::vector<SliceResult> results_;
  std::optional<IlmThread::TaskGroup>
      group_;  // after results_: destroyed, and so waited for, first
};

}  // namespace

ExrRenderResult render_exr(const Options& options, int threads, const ExrSettings& settings,
                           const Progress& progress) {
  const Patch patch = make_patch(options.scene, options.width, options.height, options.extent);
  // The target first: one that cannot be written fails before any shading.
  OutputFile target(options.output);
  ExrSettings pool_settings = settings;
  pool_settings.threads = threads;  // sizes the pool that shades as well
  ExrWriter writer(target, patch.width, patch.height, pool_settings,
                   {options.scene, options.extent});

  const auto width = static_cast<std::size_t>(patch.width);
  const int block_rows = std::min(kExrBlockRows, patch.height);
  Block blocks[2];
  for (Block& block : blocks) block.energy.resize(width * static_cast<std::size_t>(block_rows));
  const auto start_block = [&](Block& block, int first_row, std::optional<BlockShading>& shading) {
    block.first_row = first_row;
    block.rows = std::min(block_rows, patch.height - first_row);
    shading.emplace(options.scene, patch, block);
  };

  // Block k + 1 is shaded while OpenEXR compresses and writes block k, both
  // on the same workers: the pool always has work queued and never more
  // threads than asked for. With one thread the pool runs every task at once
  // in this thread, so the blocks are shaded and written in turn.
  std::int64_t non_finite = 0;
  std::optional<BlockShading> shading;
  start_block(blocks[0], 0, shading);
  for (int index = 0;; ++index) {
    Block& current = blocks[index % 2];
    non_finite += shading->wait();
    shading.reset();
    const int next_row = current.first_row + current.rows;
    if (next_row < patch.height) start_block(blocks[(index + 1) % 2], next_row, shading);
    writer.write_rows(current.shaded(width));
    if (progress) progress(static_cast<double>(next_row) / patch.height);
    if (next_row == patch.height) break;
  }
  writer.finish();
  target.commit();
  return {non_finite};
}

}  // namespace render
