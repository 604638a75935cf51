#include "pipeline.hpp"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace render {

int usable_threads(int requested) {
  int cores = 0;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) cores = CPU_COUNT(&allowed);
  if (cores <= 0) cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp(requested, 1, std::max(cores, 1));
}

int pipeline_slots(int workers) {
  return 2 * std::max(workers, 1);
}

namespace {

// Which blocks are claimed, encoded and written, under one lock. A worker
// holds the lock only to claim a block or to hand one over, never while it
// encodes or writes.
class Schedule {
 public:
  explicit Schedule(const PipelineShape& shape)
      : shape_(shape), encoded_(static_cast<std::size_t>(shape.slots), -1) {}

  // The next block to encode, once its slot is free; -1 when there is none
  // left or the pipeline has stopped.
  int claim() {
    std::unique_lock lock(mutex_);
    slot_freed_.wait(lock, [&] {
      return stopped_ || claimed_ >= shape_.blocks || claimed_ < written_ + shape_.slots;
    });
    if (stopped_ || claimed_ >= shape_.blocks) return -1;
    return claimed_++;
  }

  // Marks the block encoded, and then writes every block that is due and
  // encoded, unless another worker is writing already: that one writes it
  // when done with its own, since it looks again under the lock.
  void encoded(int block, const WriteBlock& write) {
    std::unique_lock lock(mutex_);
    encoded_[slot(block)] = block;
    while (!writing_ && !stopped_ && written_ < shape_.blocks &&
           encoded_[slot(written_)] == written_) {
      const int due = written_;
      writing_ = true;
      lock.unlock();
      try {
        write(due, due % shape_.slots);
      } catch (...) {
        lock.lock();
        writing_ = false;
        fail_locked(std::current_exception());
        return;
      }
      lock.lock();
      writing_ = false;
      ++written_;
      slot_freed_.notify_all();
    }
  }

  void fail(std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    fail_locked(std::move(error));
  }

  int written() {
    const std::lock_guard lock(mutex_);
    return written_;
  }
  std::exception_ptr failure() {
    const std::lock_guard lock(mutex_);
    return failure_;
  }

 private:
  std::size_t slot(int block) const { return static_cast<std::size_t>(block % shape_.slots); }
  void fail_locked(std::exception_ptr error) {
    if (!failure_) failure_ = std::move(error);
    stopped_ = true;
    slot_freed_.notify_all();
  }

  PipelineShape shape_;
  std::mutex mutex_;
  std::condition_variable slot_freed_;
  std::vector<int> encoded_;  // the block each slot holds once encoded
  int claimed_ = 0;
  int written_ = 0;
  bool writing_ = false;
  bool stopped_ = false;
  std::exception_ptr failure_;
};

}  // namespace

void run_pipeline(const PipelineShape& shape, const EncodeBlock& encode, const WriteBlock& write,
                  const Progress& progress) {
  if (shape.blocks <= 0) return;
  PipelineShape used = shape;
  used.workers = std::clamp(shape.workers, 1, shape.blocks);
  used.slots = std::max(shape.slots, used.workers);
  Schedule schedule(used);

  const auto work = [&](int worker) {
    for (int block = schedule.claim(); block >= 0; block = schedule.claim()) {
      try {
        encode(block, block % used.slots, worker);
      } catch (...) {
        schedule.fail(std::current_exception());
        return;
      }
      schedule.encoded(block, write);
      if (worker == 0 && progress) {
        try {
          progress(static_cast<double>(schedule.written()) / used.blocks);
        } catch (...) {
          schedule.fail(std::current_exception());
          return;
        }
      }
    }
  };

  std::vector<std::thread> helpers;
  try {
    for (int worker = 1; worker < used.workers; ++worker) helpers.emplace_back(work, worker);
  } catch (...) {
    schedule.fail(std::current_exception());  // no thread: stop those already started
  }
  work(0);
  for (auto& helper : helpers) helper.join();
  if (const auto failure = schedule.failure()) std::rethrow_exception(failure);
  // The helpers may have taken every block: the end is reported here in any case.
  if (progress) progress(1.0);
}

}  // namespace render
