#include "render_blocks.hpp"

#include <algorithm>
#include <vector>

namespace render {

PipelineShape block_pipeline_shape(const Patch& patch, const BlockShape& cut, int threads) {
  PipelineShape shape;
  const int block_rows = std::max(cut.block_rows, 1);
  shape.blocks = (patch.height + block_rows - 1) / block_rows;
  shape.workers = std::max(std::min({usable_threads(threads), cut.most_workers, shape.blocks}), 1);
  shape.slots = pipeline_slots(shape.workers);
  return shape;
}

std::int64_t render_blocks(const Scene& scene, const Patch& patch, const BlockShape& cut,
                           int threads, BlockEncoder& encoder, const Progress& progress) {
  const PipelineShape shape = block_pipeline_shape(patch, cut, threads);
  const int block_rows = std::max(cut.block_rows, 1);
  const int pass_rows = std::clamp(cut.rows_per_pass, 1, block_rows);
  const auto width = static_cast<std::size_t>(patch.width);
  encoder.prepare(shape);

  // Per worker: the rows of one pass, and its count of non-finite pixels
  // (summed at the end, whoever shaded what).
  struct Worker {
    std::vector<lighting::Vector3> energy;
    std::int64_t non_finite = 0;
  };
  std::vector<Worker> workers(static_cast<std::size_t>(shape.workers));
  for (Worker& w : workers) w.energy.resize(width * static_cast<std::size_t>(pass_rows));

  run_pipeline(
      shape,
      [&](int block, int slot, int worker) {
        Worker& w = workers[static_cast<std::size_t>(worker)];
        const BlockAt at{block, slot, worker};
        const int first = block * block_rows;
        const int end = std::min(first + block_rows, patch.height);
        encoder.begin(at);
        for (int row = first; row < end; row += pass_rows) {
          const auto rows = static_cast<std::size_t>(std::min(pass_rows, end - row));
          const auto energy = std::span(w.energy).first(rows * width);
          for (std::size_t index = 0; index < rows; ++index) {
            const auto line = energy.subspan(index * width, width);
            shade_row(scene, patch, row + static_cast<int>(index), line);
          }
          w.non_finite += encoder.add_rows(at, row, energy);
        }
        encoder.finish(at);
      },
      [&](int block, int slot) { encoder.write(block, slot); }, progress);

  std::int64_t non_finite = 0;
  for (const Worker& w : workers) non_finite += w.non_finite;
  return non_finite;
}

}  // namespace render
