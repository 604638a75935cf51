#include "render.hpp"

#include <algorithm>
#include <vector>

#include "output_file.hpp"
#include "tone.hpp"

namespace render {

// The scan runs on the same pipeline as the render, with nothing to write:
// the same workers, and no second thread pool left spinning once it is done.
EnergyScan scan_energy(const Scene& scene, const Patch& patch, int threads,
                       const Progress& progress) {
  constexpr int kScanBlockRows = 16;
  struct Worker {
    std::vector<lighting::Vector3> energy;
    float brightest = 0.0f;
    std::int64_t non_finite = 0;
  };
  PipelineShape shape;
  shape.blocks = (patch.height + kScanBlockRows - 1) / kScanBlockRows;
  shape.workers = std::min(usable_threads(threads), shape.blocks);
  shape.slots = pipeline_slots(shape.workers);
  std::vector<Worker> workers(static_cast<std::size_t>(shape.workers));
  for (Worker& w : workers) w.energy.resize(static_cast<std::size_t>(patch.width));
  run_pipeline(
      shape,
      [&](int block, int, int worker) {
        Worker& w = workers[static_cast<std::size_t>(worker)];
        const int first = block * kScanBlockRows;
        for (int row = first; row < std::min(first + kScanBlockRows, patch.height); ++row) {
          shade_row(scene, patch, row, w.energy);
          for (const auto& e : w.energy) {
            const bool finite = is_finite(e);
            w.non_finite += finite ? 0 : 1;
            w.brightest = finite ? std::max({w.brightest, e.x, e.y, e.z}) : w.brightest;
          }
        }
      },
      [](int, int) {}, progress);
  // The largest value and a count: the same whichever worker saw what.
  EnergyScan scan{0.0f, 0};
  for (const Worker& w : workers) {
    scan.brightest = std::max(scan.brightest, w.brightest);
    scan.non_finite_pixels += w.non_finite;
  }
  return scan;
}

RenderResult render_png(const Options& options, int threads, PngSettings settings,
                        const Progress& progress) {
  const Patch patch = make_patch(options.scene, options.width, options.height, options.extent);
  const PngLayout layout = png_layout(patch.width, patch.height, settings);
  // The target and the head first: a target that cannot be written, even a
  // device that takes no bytes, fails before any shading.
  OutputFile output(options.output, {.allow_terminal = options.force});
  const auto head = png_head(layout);
  output.write_all(head.data(), head.size());

  // With the automatic exposure, the first half of the progress is the scan.
  const bool automatic = !options.exposure;
  const auto report = [&](double from, double to) -> Progress {
    if (!progress) return {};
    return [&progress, from, to](double done) { progress(from + (to - from) * done); };
  };
  const double exposure =
      automatic
          ? exposure_for(scan_energy(options.scene, patch, threads, report(0.0, 0.5)).brightest)
          : *options.exposure;
  const ToneTable tone = make_tone_table(exposure);

  PipelineShape shape;
  shape.blocks = layout.blocks;
  shape.workers = std::min(usable_threads(threads), layout.blocks);
  shape.slots = pipeline_slots(shape.workers);

  // Per worker: its encoder, its row of energies and its count of
  // non-finite pixels (summed at the end, whoever shaded what).
  struct Worker {
    PngBlockEncoder encoder;
    std::vector<lighting::Vector3> energy;
    std::int64_t non_finite = 0;
  };
  std::vector<Worker> workers;
  workers.reserve(static_cast<std::size_t>(shape.workers));
  for (int index = 0; index < shape.workers; ++index) {
    workers.push_back({PngBlockEncoder(layout),
                       std::vector<lighting::Vector3>(static_cast<std::size_t>(patch.width)), 0});
  }
  std::vector<PngBlock> slots(static_cast<std::size_t>(shape.slots));
  std::uint32_t adler = 1;

  run_pipeline(
      shape,
      [&](int block, int slot, int worker) {
        Worker& w = workers[static_cast<std::size_t>(worker)];
        w.encoder.begin(block, slots[static_cast<std::size_t>(slot)]);
        const int first = block * layout.block_rows;
        const int end = std::min(first + layout.block_rows, layout.height);
        for (int row = first; row < end; ++row) {
          shade_row(options.scene, patch, row, w.energy);
          w.non_finite += tone_map_row(tone, w.energy, w.encoder.next_row());
          w.encoder.add_row();
        }
        w.encoder.finish();
      },
      [&](int, int slot) {
        const PngBlock& encoded = slots[static_cast<std::size_t>(slot)];
        output.write_all(encoded.chunk().data(), encoded.size);
        adler = png_adler_after(adler, encoded);
      },
      report(automatic ? 0.5 : 0.0, 1.0));

  const auto tail = png_tail(adler);
  output.write_all(tail.data(), tail.size());
  output.commit();
  std::int64_t non_finite = 0;
  for (const Worker& w : workers) non_finite += w.non_finite;
  return {exposure, non_finite};
}

}  // namespace render
