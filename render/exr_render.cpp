#include "exr_render.hpp"

#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include "output_file.hpp"
#include "render_blocks.hpp"

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

namespace {

// A block shaded whole, then encoded into its slot as OpenEXR chunks on the
// worker's own encoder; the slots written in order.
class ExrEncoder final : public BlockEncoder {
 public:
  explicit ExrEncoder(ExrWriter& writer) : writer_(writer) {}
  void prepare(const PipelineShape& shape) override {
    encoders_.clear();
    for (int worker = 0; worker < shape.workers; ++worker) {
      encoders_.push_back(std::make_unique<ExrChunkEncoder>(writer_));
    }
    slots_.resize(static_cast<std::size_t>(shape.slots));
  }
  std::int64_t add_rows(const BlockAt& at, int first_row,
                        std::span<const lighting::Vector3> energy) override {
    std::int64_t non_finite = 0;
    for (const auto& e : energy) non_finite += is_finite(e) ? 0 : 1;
    writer_.encode(*encoders_[static_cast<std::size_t>(at.worker)], first_row, energy,
                   slots_[static_cast<std::size_t>(at.slot)]);
    return non_finite;
  }
  void write(int, int slot) override { writer_.write(slots_[static_cast<std::size_t>(slot)]); }
  void release() { encoders_.clear(); }

 private:
  ExrWriter& writer_;
  std::vector<std::unique_ptr<ExrChunkEncoder>> encoders_;
  std::vector<ExrBlock> slots_;
};

}  // namespace

ExrRenderResult render_exr(const Options& options, int threads, const ExrSettings& settings,
                           const Progress& progress) {
  const Patch patch = make_patch(options.scene, options.width, options.height, options.extent);
  // The target first: one that cannot be written fails before any shading.
  OutputFile target(options.output, {.allow_terminal = options.force});
  ExrWriter writer(target, patch.width, patch.height, settings, {options.scene, options.extent});

  const ExrBlocking blocking =
      exr_blocking(patch.width, patch.height, writer.rows_per_chunk(), threads);
  // A whole block per pass: OpenEXR encodes the block's chunks at once.
  const BlockShape cut{blocking.block_rows, blocking.block_rows, blocking.workers};
  ExrEncoder encoder(writer);
  const std::int64_t non_finite =
      render_blocks(options.scene, patch, cut, threads, encoder, progress);
  encoder.release();  // before the writer finishes the file
  writer.finish();
  target.commit();
  return {non_finite};
}

}  // namespace render
