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

// A ring of finished rows. Rows are claimed in increasing order, shaded and
// tone-mapped into their slot, and marked done; the encoder writes them in
// order and frees the slots. The lowest row not yet done always has a free
// slot, so the workers cannot block each other for good.
//
// Each wake-up goes only to whom it concerns: a finished row wakes the
// encoder only if it is the row the encoder waits for, and a freed slot wakes
// only the workers waiting for that slot. A worker that finds the ring full
// waits until half of it has been encoded, so that when shading outruns the
// encoder it sleeps once per half ring rather than once per row, and the
// encoder rarely pays for a wake-up.
class RowRing {
 public:
  RowRing(int height, std::size_t row_bytes)
      : size_(std::min(kRingRows, height)),
        refill_(std::max(1, size_ / 2)),
        row_bytes_(row_bytes),
        rows_(static_cast<std::size_t>(size_) * row_bytes),
        done_(static_cast<std::size_t>(size_), -1),
        slot_freed_(static_cast<std::size_t>(size_)) {}

  int size() const { return size_; }
  std::span<std::uint8_t> slot(int row) {
    return {rows_.data() + index(row) * row_bytes_, row_bytes_};
  }
  // Worker: wait until row's slot is free, having waited (if at all) for a
  // half-empty ring; false if cancelled.
  bool wait_to_fill(int row) {
    std::unique_lock lock(mutex_);
    if (row - encoded_ >= size_) {
      slot_freed_[index(row - refill_)].wait(
          lock, [&] { return cancelled_ || row - encoded_ < refill_; });
    }
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
  bool is_done(int row) {
    const std::lock_guard lock(mutex_);
    return done_[index(row)] == row;
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
    // Only workers whose rows need exactly this slot encoded wait on it.
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

  int size_;    // slots
  int refill_;  // free slots a waiting worker waits for
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
  std::atomic<int> next_row{0};  // the next row nobody has claimed
  const auto shade_into_ring = [&](int row, std::vector<lighting::Vector3>& energy) {
    shade_row(options.scene, patch, row, energy);
    const std::int64_t non_finite = tone_map_row(tone, energy, ring.slot(row));
    ring.filled(row);
    return non_finite;
  };

  // The encoder never waits while a row can be shaded: when the row it needs
  // is not done it shades the next unclaimed row itself, if that row's slot
  // is free (only the encoder frees slots, so it must not wait for one).
  std::exception_ptr encoder_failure;
  std::int64_t encoder_non_finite = 0;
  std::thread encoder([&] {
    try {
      std::vector<lighting::Vector3> energy(static_cast<std::size_t>(patch.width));
      for (int row = 0; row < patch.height; ++row) {
        while (!ring.is_done(row)) {
          int claim = next_row.load();
          if (claim < patch.height && claim - row < ring.size() &&
              next_row.compare_exchange_strong(claim, claim + 1)) {
            encoder_non_finite += shade_into_ring(claim, energy);
          } else if (!ring.wait_to_encode(row)) {
            return;  // cancelled
          }
        }
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

  // `threads` in all, the encoder among them: it shades too whenever shading
  // is behind, and a worker more than the cores would only take its time
  // from the encoder, which bounds the render. At least one worker; more
  // than the ring has rows could only wait.
  const int workers = std::clamp(threads - 1, 1, kRingRows);
  std::int64_t non_finite = 0;
#pragma omp parallel num_threads(workers) reduction(+ : non_finite)
  {
    std::vector<lighting::Vector3> energy(static_cast<std::size_t>(patch.width));
    for (int row = next_row++; row < patch.height && ring.wait_to_fill(row); row = next_row++) {
      non_finite += shade_into_ring(row, energy);
      if (encoding_progress && omp_get_thread_num() == 0) {
        encoding_progress(static_cast<double>(ring.encoded_rows()) / patch.height);
      }
    }
  }
  encoder.join();
  if (encoder_failure) std::rethrow_exception(encoder_failure);
  writer.commit();
  return {exposure, non_finite + encoder_non_finite};
}

}  // namespace render
