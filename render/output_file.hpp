// Where an image goes, handled carefully: every check that can fail is made
// when the target is opened, before any shading, and the target is either
// left as it was or holds the whole new image.
//
// - A regular file (new or existing, or reached through symbolic links) is
//   written to an unnamed temporary file in the final target's directory
//   (O_TMPFILE) where the filesystem supports it, otherwise to a named one
//   beside it, and linked or renamed into place by commit(), after an fsync
//   of the data and before one of the directory. An existing file keeps its
//   permission bits; a new one gets 0666 less the umask. A link stays a link.
// - Anything else that exists (a character device, a FIFO, a socket, a
//   terminal, "-" for standard output) is written to directly, streaming.
// - Until commit() succeeds, destroying the OutputFile, a failure or a
//   SIGINT, SIGTERM or SIGHUP removes whatever was written.
//
// Failures throw std::runtime_error with one line naming the path and the
// reason, for example "cannot write out.png: Permission denied".
#pragma once

#include <cstddef>
#include <memory>
#include <string>

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
  const std::string& path() const noexcept;  // as the user gave it, for messages

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

}  // namespace render
