#include "exr_render.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "output_file.hpp"

namespace render {

ExrBlocking exr_blocking(int width, int height, int rows_per_chunk, int threads) {
  const std::size_t row_bytes = static_cast<std::size_t>(width) * sizeof(lighting::Vector3);
  const auto chunk_bytes = row_bytes * static_cast<std::size_t>(rows_per_chunk);
  const auto chunks_by_size = static_cast<int>(
      std::min<std::size_t>(kExrBlockBytes / chunk_bytes, static_cast<std::size_t>(kExrBlockRows)));
  const int most_chunks = std::max(kExrBlockRows / rows_per_chunk, 1);
  const int block_rows =
      std::min(rows_per_chunk * std::clamp(chunks_by_size, 1, most_chunks), height);
  // A worker holds its block of energies, its encoder's packed, compressed
  // and scratch buffers (about three blocks' worth), and two slots of
  // encoded blocks waiting to be written: six blocks in all.
  const auto block_bytes = row_bytes * static_cast<std::size_t>(block_rows);
  const auto affordable = static_cast<int>(std::clamp<std::size_t>(
      kExrMemoryBudget / (6 * block_bytes), 1, static_cast<std::size_t>(kExrBlockRows)));
  const int blocks = (height + block_rows - 1) / block_rows;
  return {block_rows, std::min({usable_threads(threads), affordable, blocks})};
}

ExrRenderResult render_exr(const Options& options, int threads, const ExrSettings& settings,
                           const Progress& progress) {
  const Patch patch = make_patch(options.scene, options.width, options.height, options.extent);
  // The target first: one that cannot be written fails before any shading.
  OutputFile target(options.output, {.allow_terminal = options.force});
  ExrWriter writer(target, patch.width, patch.height, settings, {options.scene, options.extent});

  const auto width = static_cast<std::size_t>(patch.width);
  const ExrBlocking blocking =
      exr_blocking(patch.width, patch.height, writer.rows_per_chunk(), threads);
  const int block_rows = blocking.block_rows;
  PipelineShape shape;
  shape.blocks = (patch.height + block_rows - 1) / block_rows;
  shape.workers = blocking.workers;
  shape.slots = pipeline_slots(shape.workers);

  struct Worker {
    std::unique_ptr<ExrChunkEncoder> encoder;
    std::vector<lighting::Vector3> energy;
    std::int64_t non_finite = 0;
  };
  std::vector<Worker> workers(static_cast<std::size_t>(shape.workers));
  for (Worker& w : workers) {
    w.encoder = std::make_unique<ExrChunkEncoder>(writer);
    w.energy.resize(width * static_cast<std::size_t>(block_rows));
  }
  std::vector<ExrBlock> slots(static_cast<std::size_t>(shape.slots));

  run_pipeline(
      shape,
      [&](int block, int slot, int worker) {
        Worker& w = workers[static_cast<std::size_t>(worker)];
        const int first = block * block_rows;
        const int rows = std::min(block_rows, patch.height - first);
        for (int index = 0; index < rows; ++index) {
          const auto energy =
              std::span(w.energy).subspan(static_cast<std::size_t>(index) * width, width);
          shade_row(options.scene, patch, first + index, energy);
          for (const auto& e : energy) w.non_finite += is_finite(e) ? 0 : 1;
        }
        writer.encode(*w.encoder, first,
                      std::span(w.energy).first(static_cast<std::size_t>(rows) * width),
                      slots[static_cast<std::size_t>(slot)]);
      },
      [&](int, int slot) { writer.write(slots[static_cast<std::size_t>(slot)]); }, progress);

  for (Worker& w : workers) w.encoder.reset();  // before the writer finishes the file
  writer.finish();
  target.commit();
  std::int64_t non_finite = 0;
  for (const Worker& w : workers) non_finite += w.non_finite;
  return {non_finite};
}

}  // namespace render
