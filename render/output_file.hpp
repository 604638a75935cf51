// Where an image goes, handled carefully: every check that can fail is made
// when the target is opened, before any shading, and the target is either
// left as it was or holds the whole new image.
//
// - Standard output ("-") and names of this process's own descriptors
//   (/dev/stdout, /dev/fd/N, /proc/self/fd/N) are written to through the
//   descriptor already open, at its current position (O_APPEND honoured),
//   never reopened. A descriptor that is closed or read-only is refused.
// - An existing regular file is refused when the user may not write it, as
//   the shell's ">" refuses it, and so is someone else's file in a sticky
//   directory. Otherwise it is replaced atomically when the replacement can
//   be the same file in all but its contents: it has one name, the user owns
//   it (or is root), its group can be kept and the directory is writable.
//   Then the image goes to an unnamed temporary file in the target's
//   directory (O_TMPFILE) where the filesystem supports it, otherwise to a
//   named one beside it, and is linked or renamed into place by commit(),
//   after an fsync of the data and before one of the directory. The file
//   keeps its permission bits (root also keeps its owner and group); a link
//   stays a link.
// - Any other writable file (several hard links, another owner, a group the
//   user is not in, a directory the user may not write) is written in place,
//   as ">" would: every name, the owner and the group stay. The image is
//   first completed in a temporary file in $TMPDIR and copied over the file
//   by commit(); that copy is not atomic, so a failure or signal during it
//   can leave the file incomplete.
// - A new file is created as above, with mode 0666 less the umask.
// - Anything else that exists (a character device, a FIFO, a socket) is
//   written to directly, streaming.
// - Until commit() succeeds, destroying the OutputFile, a failure or a
//   SIGINT, SIGTERM or SIGHUP removes whatever was written.
//
// Failures throw std::runtime_error with one line naming the path and the
// reason, for example "cannot write out.png: Permission denied".
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace render {

class OutputFile {
 public:
  explicit OutputFile(const std::string& path);  // all target checks happen here
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The descriptor an encoder writes to, and whether it can seek on it (a
  // temporary file can; a FIFO, a terminal or standard output cannot).
  int descriptor() const noexcept;
  bool seekable() const noexcept;
  // As the user gave it, quoted by printable_name(), for messages.
  const std::string& path() const noexcept;

  // Writes every byte to descriptor(), retrying short writes; throws on failure.
  void write_all(const void* data, std::size_t size);

  // Syncs and puts the image in place; throws on failure, removing it.
  void commit();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Makes SIGINT, SIGTERM and SIGHUP remove every OutputFile's uncommitted file
// and then end the process as killed by that signal. A signal ignored when
// this is called (nohup, a background job) stays ignored. Call once, early in
// main; every OutputFile also ignores SIGXFSZ while it is open, so that a
// file-size limit fails the write (EFBIG) instead of killing the process.
void install_signal_handlers();

// The name as it is when every byte prints harmlessly; otherwise in double
// quotes with C escapes (\n, \t, \x1b, \", \\), so that a newline or a
// terminal escape in a file name cannot forge or garble a message.
std::string printable_name(std::string_view name);

// The descriptor that a target names when it is this process's own: 1 for
// "-", N for /dev/stdout (1), /dev/stderr (2), /dev/fd/N and /proc/self/fd/N,
// also through symbolic links. Empty for any other name.
std::optional<int> descriptor_named(const std::string& path);

// Where temporary files go: $TMPDIR when it is set and not empty, else /tmp.
std::string temporary_directory();

// An unnamed read-write file in `directory`, gone once closed; -1 with errno
// set when it cannot be made there. Never falls back to another directory: a
// $TMPDIR that does not work is reported rather than silently replaced.
int open_temporary_file(const std::string& directory);

}  // namespace render
