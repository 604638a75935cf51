#include "cleanup_registry.hpp"

#include <sched.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace render::cleanup {

namespace {

struct Entry {
  std::atomic<bool> taken{false};
  std::atomic<bool> live{false};  // taken, and its image not in place
  std::atomic<pid_t> owner{0};
  std::atomic<const char*> name{nullptr};
  std::atomic<int> truncate_fd{-1};
  std::atomic<std::int64_t> length{0};
  std::atomic<std::int64_t> position{0};
};

constexpr std::size_t kSlots = 64;
std::array<Entry, kSlots> g_entries;

// Who may act: nobody (idle), the thread putting an image in place, or a
// signal handler. A handler that finds a commit under way leaves its signal
// for the commit to settle.
enum Gate : int { kIdle, kCommitting, kHandling };
std::atomic<int> g_gate{kIdle};
std::atomic<int> g_deferred{0};
// The process that last put an image in place: a signal after that, with
// nothing else live, comes too late to change the outcome.
std::atomic<pid_t> g_in_place_by{0};

constexpr std::array<int, 3> kRemovingSignals = {SIGINT, SIGTERM, SIGHUP};

// Undoes this process's live entries; whether there were any.
bool undo_own(pid_t self) {
  bool any = false;
  for (Entry& entry : g_entries) {
    if (!entry.live.load() || entry.owner.load() != self) continue;
    any = true;
    if (const char* name = entry.name.load()) unlink(name);
    if (const int fd = entry.truncate_fd.load(); fd >= 0) {
      (void)!ftruncate(fd, static_cast<off_t>(entry.length.load()));
      lseek(fd, static_cast<off_t>(entry.position.load()), SEEK_SET);
    }
  }
  return any;
}

[[noreturn]] void end_as_killed(int signal_number) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal_number, &default_action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  raise(signal_number);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);  // in a handler it is blocked until now
  _exit(128 + signal_number);                // not reached
}

extern "C" void on_removing_signal(int signal_number) {
  const int saved_errno = errno;
  int expected = kIdle;
  if (!g_gate.compare_exchange_strong(expected, kHandling)) {
    // A commit settles the signal when it ends; another handler is already
    // ending the process.
    if (expected == kCommitting) g_deferred.store(signal_number);
    errno = saved_errno;
    return;
  }
  const pid_t self = getpid();
  if (undo_own(self) || g_in_place_by.load() != self) end_as_killed(signal_number);
  g_gate.store(kIdle);  // too late: the image is in place
  errno = saved_errno;
}

extern "C" void undo_at_exit() {
  int expected = kIdle;
  if (!g_gate.compare_exchange_strong(expected, kHandling)) return;
  undo_own(getpid());
  g_gate.store(kIdle);  // a commit still running on another thread must not wait forever
}

}  // namespace

Slot take_slot() {
  static std::once_flag at_exit;
  std::call_once(at_exit, [] { std::atexit(undo_at_exit); });
  for (Slot slot = 0; slot < kSlots; ++slot) {
    Entry& entry = g_entries[slot];
    bool expected = false;
    if (entry.taken.compare_exchange_strong(expected, true)) {
      entry.owner.store(getpid());
      entry.live.store(true);
      return slot;
    }
  }
  throw std::runtime_error("too many images being written at once");
}

void free_slot(Slot slot) {
  g_entries[slot].live.store(false);
  g_entries[slot].taken.store(false);
}

void publish_name(Slot slot, const char* name) {
  g_entries[slot].name.store(name);
}

void publish_truncation(Slot slot, int fd, std::int64_t length, std::int64_t position) {
  Entry& entry = g_entries[slot];
  entry.length.store(length);
  entry.position.store(position);
  entry.truncate_fd.store(fd);
}

void withdraw(Slot slot) {
  Entry& entry = g_entries[slot];
  entry.name.store(nullptr);
  entry.truncate_fd.store(-1);
  // A handler may have read the entry before it changed: it is removing
  // files and will end the process, or return at once.
  while (g_gate.load() == kHandling) sched_yield();
}

CommitWindow::CommitWindow(Slot slot) : slot_(slot) {
  sigset_t removing;
  sigemptyset(&removing);
  for (const int signal_number : kRemovingSignals) sigaddset(&removing, signal_number);
  pthread_sigmask(SIG_BLOCK, &removing, &saved_mask_);
  int expected = kIdle;
  while (!g_gate.compare_exchange_weak(expected, kCommitting)) {
    expected = kIdle;
    sched_yield();  // another commit, or a handler that ends the process
  }
}

void CommitWindow::in_place() {
  withdraw(slot_);
  g_entries[slot_].live.store(false);
  g_in_place_by.store(getpid());
  in_place_ = true;
}

CommitWindow::~CommitWindow() {
  const int deferred = g_deferred.exchange(0);
  g_gate.store(kIdle);
  // A signal blocked here meanwhile arrives now, and is judged as any other.
  pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
  if (deferred != 0) raise(deferred);
}

void install_signal_handlers() {
  for (const int signal_number : kRemovingSignals) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) continue;
    // An ignored signal stays ignored: nohup and background jobs rely on it.
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_removing_signal;
    // A signal found too late returns: what it interrupted (the summary's
    // write to a pipe) goes on as if it had not come.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int other : kRemovingSignals) sigaddset(&action.sa_mask, other);
    sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace render::cleanup
