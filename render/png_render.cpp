#include "png_render.hpp"

#include <algorithm>
#include <vector>

#include "render_blocks.hpp"
#include "tone.hpp"

namespace render {

namespace {

// The scan writes nothing: each worker keeps the brightest value it saw.
class BrightestScan final : public BlockEncoder {
 public:
  void prepare(const PipelineShape& shape) override {
    brightest_.assign(static_cast<std::size_t>(shape.workers), 0.0f);
  }
  std::int64_t add_rows(const BlockAt& at, int,
                        std::span<const lighting::Vector3> energy) override {
    float& brightest = brightest_[static_cast<std::size_t>(at.worker)];
    std::int64_t non_finite = 0;
    for (const auto& e : energy) {
      const bool finite = is_finite(e);
      non_finite += finite ? 0 : 1;
      brightest = finite ? std::max({brightest, e.x, e.y, e.z}) : brightest;
    }
    return non_finite;
  }
  // The largest value: the same whichever worker saw what.
  float brightest() const {
    float most = 0.0f;
    for (const float value : brightest_) most = std::max(most, value);
    return most;
  }

 private:
  std::vector<float> brightest_;
};

// Each row tone-mapped into its worker's encoder as soon as it is shaded;
// the blocks' chunks written in order, their Adler-32 combined for the tail.
class PngEncoder final : public BlockEncoder {
 public:
  PngEncoder(const PngLayout& layout, const ToneTable& tone, OutputFile& output)
      : layout_(layout), tone_(tone), output_(output) {}

  void prepare(const PipelineShape& shape) override {
    encoders_.reserve(static_cast<std::size_t>(shape.workers));
    for (int worker = 0; worker < shape.workers; ++worker) encoders_.emplace_back(layout_);
    slots_.resize(static_cast<std::size_t>(shape.slots));
  }
  void begin(const BlockAt& at) override {
    encoder(at).begin(at.block, slots_[static_cast<std::size_t>(at.slot)]);
  }
  std::int64_t add_rows(const BlockAt& at, int,
                        std::span<const lighting::Vector3> energy) override {
    const auto width = static_cast<std::size_t>(layout_.width);
    std::int64_t non_finite = 0;
    for (std::size_t first = 0; first < energy.size(); first += width) {
      non_finite += tone_map_row(tone_, energy.subspan(first, width), encoder(at).next_row());
      encoder(at).add_row();
    }
    return non_finite;
  }
  void finish(const BlockAt& at) override { encoder(at).finish(); }
  void write(int, int slot) override {
    const PngBlock& encoded = slots_[static_cast<std::size_t>(slot)];
    output_.write_all(encoded.chunk().data(), encoded.size);
    adler_ = png_adler_after(adler_, encoded);
  }
  std::uint32_t adler() const { return adler_; }

 private:
  PngBlockEncoder& encoder(const BlockAt& at) {
    return encoders_[static_cast<std::size_t>(at.worker)];
  }

  const PngLayout& layout_;
  const ToneTable& tone_;
  OutputFile& output_;
  std::vector<PngBlockEncoder> encoders_;
  std::vector<PngBlock> slots_;
  std::uint32_t adler_ = 1;
};

}  // namespace

EnergyScan scan_energy(const Scene& scene, const Patch& patch, int threads,
                       const Progress& progress) {
  constexpr int kScanBlockRows = 16;
  BrightestScan scan;
  const std::int64_t non_finite =
      render_blocks(scene, patch, {kScanBlockRows, 1}, threads, scan, progress);
  return {scan.brightest(), non_finite};
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

  PngEncoder encoder(layout, tone, output);
  const std::int64_t non_finite =
      render_blocks(options.scene, patch, {layout.block_rows, 1}, threads, encoder,
                    report(automatic ? 0.5 : 0.0, 1.0));
  const auto tail = png_tail(encoder.adler());
  output.write_all(tail.data(), tail.size());
  output.commit();
  return {exposure, non_finite};
}

}  // namespace render
