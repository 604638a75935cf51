#include "render.hpp"

#include <omp.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "tone.hpp"

namespace render {

namespace {

// Rows per band: enough work per band to hide the hand-off, little memory.
constexpr int kBandRows = 16;
constexpr int kSlots = 2;  // one band being shaded while the other is encoded

// Hands finished bands from the shading threads to the encoder thread.
class BandHandoff {
 public:
  // Shading side: wait until the slot for `band` is free again.
  bool wait_to_fill(int band) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return cancelled_ || band - consumed_ < kSlots; });
    return !cancelled_;
  }
  void filled(int band) {
    {
      const std::lock_guard lock(mutex_);
      produced_ = band + 1;
    }
    changed_.notify_all();
  }
  // Encoder side: wait until `band` has been shaded.
  bool wait_to_encode(int band) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return cancelled_ || produced_ > band; });
    return produced_ > band;
  }
  void encoded(int band) {
    {
      const std::lock_guard lock(mutex_);
      consumed_ = band + 1;
    }
    changed_.notify_all();
  }
  void cancel() {
    {
      const std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int produced_ = 0;
  int consumed_ = 0;
  bool cancelled_ = false;
};

std::size_t row_bytes(const Patch& patch) {
  return 3 * static_cast<std::size_t>(patch.width);
}

}  // namespace

EnergyScan scan_energy(const Scene& scene, const Patch& patch, int threads) {
  float brightest = 0.0f;
  std::int64_t non_finite = 0;
#pragma omp parallel num_threads(threads) reduction(max : brightest) reduction(+ : non_finite)
  {
    std::vector<lighting::Vector3> energy(static_cast<std::size_t>(patch.width));
#pragma omp for schedule(static)
    for (int row = 0; row < patch.height; ++row) {
      shade_row(scene, patch, row, energy);
      for (const auto& e : energy) {
        if (!is_finite(e)) {
          ++non_finite;
          continue;
        }
        brightest = std::max({brightest, e.x, e.y, e.z});
      }
    }
  }
  return {brightest, non_finite};
}

RenderResult render_png(const Options& options, int threads, PngSettings settings,
                        const Progress& progress) {
  const Patch patch = make_patch(options.scene, options.width, options.height, options.extent);
  const double exposure = options.exposure
                              ? *options.exposure
                              : exposure_for(scan_energy(options.scene, patch, threads).brightest);
  const ToneCurve curve = make_tone_curve(exposure);
  const int bands = (patch.height + kBandRows - 1) / kBandRows;
  const std::size_t bytes_per_row = row_bytes(patch);

  PngFileWriter writer(options.output, patch.width, patch.height, settings);
  std::vector<std::vector<std::uint8_t>> slots(
      kSlots, std::vector<std::uint8_t>(kBandRows * bytes_per_row));
  BandHandoff handoff;
  std::exception_ptr encoder_failure;

  std::thread encoder([&] {
    try {
      for (int band = 0; band < bands && handoff.wait_to_encode(band); ++band) {
        const auto& slot = slots[static_cast<std::size_t>(band % kSlots)];
        const int rows = std::min(kBandRows, patch.height - band * kBandRows);
        for (int i = 0; i < rows; ++i) {
          writer.write_row(
              {slot.data() + static_cast<std::size_t>(i) * bytes_per_row, bytes_per_row});
        }
        handoff.encoded(band);
      }
    } catch (...) {
      encoder_failure = std::current_exception();
      handoff.cancel();
    }
  });
  // Whatever happens below, the encoder is stopped and joined before unwinding.
  struct JoinEncoder {
    BandHandoff& handoff;
    std::thread& encoder;
    ~JoinEncoder() {
      if (encoder.joinable()) {
        handoff.cancel();
        encoder.join();
      }
    }
  } join_encoder{handoff, encoder};

  std::int64_t non_finite = 0;
  for (int band = 0; band < bands && handoff.wait_to_fill(band); ++band) {
    auto& slot = slots[static_cast<std::size_t>(band % kSlots)];
    const int first = band * kBandRows;
    const int last = std::min(first + kBandRows, patch.height);
#pragma omp parallel num_threads(threads) reduction(+ : non_finite)
    {
      std::vector<lighting::Vector3> energy(static_cast<std::size_t>(patch.width));
#pragma omp for schedule(static)
      for (int row = first; row < last; ++row) {
        shade_row(options.scene, patch, row, energy);
        non_finite += tone_map_row(
            curve, energy,
            {slot.data() + static_cast<std::size_t>(row - first) * bytes_per_row, bytes_per_row});
      }
    }
    handoff.filled(band);
    if (progress) progress(static_cast<double>(band + 1) / bands);
  }
  encoder.join();
  if (encoder_failure) std::rethrow_exception(encoder_failure);
  writer.commit();
  return {exposure, non_finite};
}

}  // namespace render
