// What must be undone for each output that is not yet in place, should the
// process end first: a named temporary file to remove, or a regular file to
// cut back to the length it had. Each entry records the process that made
// it: a forked child that is signalled or exits leaves its parent's entries
// alone.
//
// The signal handler only loads atomics and calls unlink, ftruncate, lseek,
// getpid, sigaction and raise, all async-signal-safe.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace render::cleanup {

// An output from its opening to its end; while it is live (not in place) a
// signal or exit undoes what it published.
using Slot = std::size_t;
Slot take_slot();      // throws std::runtime_error when too many outputs are open
void free_slot(Slot);  // after withdraw()

// `name` must stay valid until withdraw(): the handler reads it as it is.
void publish_name(Slot, const char* name);
void publish_truncation(Slot, int fd, std::int64_t length, std::int64_t position);
// Nothing to undo any more; returns once no handler can still be using what
// was published.
void withdraw(Slot);

// The window in which an image is put in place. The removing signals are
// blocked on this thread, and one that reaches another thread meanwhile
// waits for the window to close: then it is too late for it when the image
// went in (the process goes on to exit 0), and it ends the process as usual
// when the commit failed.
class CommitWindow {
 public:
  explicit CommitWindow(Slot slot);
  ~CommitWindow();
  CommitWindow(const CommitWindow&) = delete;
  CommitWindow& operator=(const CommitWindow&) = delete;

  void in_place();  // the image is in place: the slot has nothing left to undo

 private:
  Slot slot_;
  bool in_place_ = false;
  sigset_t saved_mask_;
};

// Makes SIGINT, SIGTERM and SIGHUP undo this process's live outputs and
// then end the process as killed by that signal; once an image is in place
// and no other output is live, such a signal is too late and is ignored. A
// signal ignored when this is called (nohup, a background job) stays
// ignored. Call once, early in main.
void install_signal_handlers();

}  // namespace render::cleanup
