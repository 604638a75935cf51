#include "render.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "tone.hpp"

namespace render {

namespace {

// Rows in flight between the shading threads and the encoder: enough for the
// workers to keep going while the encoder catches up, little memory.
constexpr int kRingRows = 64;

// A ring of finished rows. Workers take rows in increasing order, shade and
// tone-map each into its slot, and mark it done; the encoder writes them in
// order and frees the slots. The lowest row not yet done always has a free
// slot, so the workers cannot block each other for good.
//
// Each wake-up goes only to whom it concerns: a finished row wakes the
// encoder only if it is the row the encoder waits for, and a freed slot wakes
// only the workers waiting for that slot. With many more threads than cores,
// a row then costs one wake-up instead of one per waiting thread.
class RowRing {
 public:
  RowRing(int height, std::size_t row_bytes)
      : size_(std::min(kRingRows, height)),
        row_bytes_(row_bytes),
        rows_(static_cast<std::size_t>(size_) * row_bytes),
        done_(static_cast<std::size_t>(size_), -1),
        slot_freed_(static_cast<std::size_t>(size_)) {}

  std::span<std::uint8_t> slot(int row) {
    return {rows_.data() + index(row) * row_bytes_, row_bytes_};
  }
  // Worker: wait until row's slot has been encoded; false if cancelled.
  bool wait_to_fill(int row) {
    std::unique_lock lock(mutex_);
    slot_freed_[index(row)].wait(lock, [&] { return cancelled_ || row - encoded_ < size_; });
    return !cancelled_;
  }
  void filled(int row) {
    bool wanted = false;
    {
      const std::lock_guard lock(mutex_);
      done_[index(row)] = row;
      wanted = row == encoded_;
    }
    if (wanted) row_done_.notify_one();
  }
  // Encoder: wait until row is done; false if cancelled first.
  bool wait_to_encode(int row) {
    std::unique_lock lock(mutex_);
    row_done_.wait(lock, [&] { return cancelled_ || done_[index(row)] == row; });
    return done_[index(row)] == row;
  }
  void encoded(int row) {
    {
      const std::lock_guard lock(mutex_);
      encoded_ = row + 1;
    }
    // Only rows row + size, row + 2 size, ... wait for this slot.
    slot_freed_[index(row)].notify_all();
  }
  int encoded_rows() {
    const std::lock_guard lock(mutex_);
    return encoded_;
  }
  void cancel() {
    {
      const std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    row_done_.notify_all();
    for (auto& freed : slot_freed_) freed.notify_all();
  }

 private:
  std::size_t index(int row) const { return static_cast<std::size_t>(row % size_); }

  int size_;  // slots
  std::size_t row_bytes_;
  std::vector<std::uint8_t> rows_;
  std::vector<int> done_;  // the row each slot holds, once done
  std::mutex mutex_;
  std::condition_variable row_done_;                 // the encoder waits here
  std::vector<std::condition_variable> slot_freed_;  // workers, per slot
  int encoded_ = 0;
  bool cancelled_ = false;
};

}  // namespace

EnergyScan scan_energy(const Scene& scene, const Patch& patch, int threads,
                       const Progress& progress) {
  float brightest = 0.0f;
  std::int64_t non_finite = 0;
  std::atomic<int> rows_done{0};
#pragma omp parallel num_threads(threads) reduction(max : brightest) reduction(+ : non_finite)
  {
    std::vector<lighting::Vector3> energy(static_cast<std::size_t>(patch.width));
#pragma omp for schedule(static)
    for (int row = 0; row < patch.height; ++row) {
      shade_row(scene, patch, row, energy);
      for (const auto& e : energy) {
        const bool finite = is_finite(e);
        non_finite += finite ? 0 : 1;
        brightest = finite ? std::max({brightest, e.x, e.y, e.z}) : brightest;
      }
      const int done = ++rows_done;
      if (progress && omp_get_thread_num() == 0) {
        progress(static_cast<double>(done) / patch.height);
      }
    }
  }
  return {brightest, non_finite};
}

RenderResult render_png(const Options& options, int threads, PngSettings settings,
                        const Progress& progress) {
  const Patch patch = make_patch(options.scene, options.width, options.height, options.extent);
  // The target first: one that cannot be written fails before any shading.
  OutputFile output(options.output);
  PngFileWriter writer(output, patch.width, patch.height, settings);

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
  const Progress encoding_progress = report(automatic ? 0.5 : 0.0, 1.0);

  RowRing ring(patch.height, 3 * static_cast<std::size_t>(patch.width));  // RGB
  std::exception_ptr encoder_failure;

  std::thread encoder([&] {
    try {
      for (int row = 0; row < patch.height && ring.wait_to_encode(row); ++row) {
        writer.write_row(ring.slot(row));
        ring.encoded(row);
      }
    } catch (...) {
      encoder_failure = std::current_exception();
      ring.cancel();
    }
  });
  // Whatever happens below, the encoder is stopped and joined before unwinding.
  struct JoinEncoder {
    RowRing& ring;
    std::thread& encoder;
    ~JoinEncoder() {
      if (encoder.joinable()) {
        ring.cancel();
        encoder.join();
      }
    }
  } join_encoder{ring, encoder};

  // More workers than the ring has rows could only wait for a slot.
  const int workers = std::min(threads, kRingRows);
  std::atomic<int> next_row{0};
  std::int64_t non_finite = 0;
#pragma omp parallel num_threads(workers) reduction(+ : non_finite)
  {
    std::vector<lighting::Vector3> energy(static_cast<std::size_t>(patch.width));
    for (int row = next_row++; row < patch.height && ring.wait_to_fill(row); row = next_row++) {
      shade_row(options.scene, patch, row, energy);
      non_finite += tone_map_row(tone, energy, ring.slot(row));
      ring.filled(row);
      if (encoding_progress && omp_get_thread_num() == 0) {
        encoding_progress(static_cast<double>(ring.encoded_rows()) / patch.height);
      }
    }
  }
  encoder.join();
  if (encoder_failure) std::rethrow_exception(encoder_failure);
  writer.commit();
  return {exposure, non_finite};
}

}  // namespace render
