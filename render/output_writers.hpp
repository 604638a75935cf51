// The three ways an image reaches its target, each chosen by plan_target():
// a stream (a descriptor or a device, written as the image is made), an
// atomic replace (a new file linked or renamed into place), and an in-place
// write (a scratch file copied over a file that must keep its inode). Each
// undoes what it wrote when it is destroyed before its commit.
//
// Also the scratch files in $TMPDIR that the in-place write and the EXR
// spool use, and the one message for a scratch file that cannot be made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cleanup_registry.hpp"
#include "target_plan.hpp"

namespace render {

class TargetWriter {
 public:
  virtual ~TargetWriter() = default;
  // The descriptor the image is written to.
  virtual int descriptor() const = 0;
  // Whether the encoder may seek on it (only a file of the writer's own).
  virtual bool seekable() const = 0;
  // Whether what is written before the commit can be taken back: a new or
  // scratch file, or a regular file cut back to its old length. Not a pipe
  // or a device.
  virtual bool reversible() const = 0;
  // Puts the image in place, calling window.in_place() the moment it is.
  virtual void commit(cleanup::CommitWindow& window) = 0;
};

// The writer for a plan that is not refused: a stream for a descriptor or a
// stream, an atomic replace for create and replace, else in place. `shown`
// is the target's name as messages show it; `slot` the output's entry in the
// cleanup registry, which must outlive the writer.
std::unique_ptr<TargetWriter> open_writer(const TargetPlan& plan, const std::string& shown,
                                          cleanup::Slot slot);

// Where scratch files go: $TMPDIR when it is set and not empty, else /tmp.
std::string temporary_directory();

// An unnamed read-write file in `directory`, gone once closed. Where the
// filesystem has no unnamed files a named one is made and removed at once.
// Never falls back to another directory: a $TMPDIR that does not work is
// reported rather than silently replaced.
struct ScratchFile {
  int fd = -1;
  int unnamed_error = 0;  // why no unnamed file could be made, when none was
  int named_error = 0;    // why no named one could be made either
};
ScratchFile open_scratch_file(const std::string& directory);
// The same, as a descriptor or -1 with errno set.
int open_temporary_file(const std::string& directory);

// "temporary file in $TMPDIR (DIR): WHY" (or "in /tmp: WHY"), the directory
// quoted by printable_name(), WHY the real cause: a directory that exists
// but whose filesystem cannot hold a file says so.
std::string scratch_failure(const std::string& directory, const ScratchFile& attempt);
// Its first part: "temporary file in $TMPDIR (DIR)" or "temporary file in /tmp".
std::string scratch_place(const std::string& directory);

// Every byte to fd, retrying short writes; the errno of a failure, else 0.
int write_fully(int fd, const void* data, std::size_t size);
// Copies bytes [begin, end) of `from` to `to`: at offset `at` when it is 0
// or more, else where `to` stands. The errno of a failure, and which side.
struct CopyFailure {
  int error = 0;
  bool reading = false;
};
CopyFailure copy_file(int from, std::uint64_t begin, std::uint64_t end, int to, std::int64_t at);

}  // namespace render
