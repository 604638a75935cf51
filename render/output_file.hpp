// Where an image goes, handled carefully: every check that can fail is made
// when the target is opened, before any shading, and a failed render leaves
// the target as it was. docs/render-output.md gives the rules for each kind
// of target; in short:
//
// - Standard output ("-") and names of this process's own descriptors
//   (/dev/stdout, /dev/fd/N, /proc/self/fd/N) are written to through the
//   descriptor already open, where it stands (O_APPEND honoured), never
//   reopened; a regular file behind one is cut back to its old length if
//   the render fails. A closed or read-only descriptor is refused.
// - A new file, or an existing regular file that a new one can stand in for
//   (one name, the user's own, its group keepable, a writable directory), is
//   made beside it and linked or renamed into place by commit(): atomic.
// - Any other writable regular file (several names, another owner) is
//   written in place, as ">" would: the image is completed in a scratch file
//   in $TMPDIR and copied over it by commit(), after the room it needs is
//   claimed.
// - A device or a FIFO is written to directly. A terminal, however it is
//   named, is refused unless the rules allow it; so is a socket.
// - Until commit() succeeds, destroying the OutputFile, a failure, exit() or
//   a SIGINT, SIGTERM or SIGHUP (see install_signal_handlers) undoes what
//   was written; once the image is in place, such a signal is too late.
//
// Failures throw std::runtime_error with one line naming the path and the
// reason, for example "cannot write out.png: Permission denied".
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cleanup_registry.hpp"
#include "output_writers.hpp"
#include "printable_name.hpp"
#include "target_plan.hpp"

namespace render {

struct OutputRules {
  bool allow_terminal = false;  // --force: binary data onto a terminal
};

class OutputFile {
 public:
  // All target checks happen here.
  explicit OutputFile(const std::string& path, OutputRules rules = {});
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The descriptor an encoder writes to, and whether it can seek on it (a
  // file of the writer's own can; a FIFO, a terminal or standard output cannot).
  int descriptor() const noexcept;
  bool seekable() const noexcept;
  // Whether bytes written before commit() can be taken back if the render
  // fails: false only for a pipe, a FIFO or a device.
  bool reversible() const noexcept;
  // As the user gave it, quoted by printable_name(), for messages.
  const std::string& path() const noexcept;

  // Writes every byte to descriptor(), retrying short writes; throws on failure.
  void write_all(const void* data, std::size_t size);

  // Syncs and puts the image in place; throws on failure, undoing it.
  void commit();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// See cleanup::install_signal_handlers. Every OutputFile also ignores
// SIGXFSZ while it is open, so that a file-size limit fails the write
// (EFBIG) instead of killing the process.
void install_signal_handlers();

}  // namespace render
