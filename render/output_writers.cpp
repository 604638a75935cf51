#include "output_writers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "printable_name.hpp"

namespace render {

namespace {

std::string error_text(int error) {
  return std::generic_category().message(error);
}

[[noreturn]] void fail(const std::string& shown, const std::string& reason) {
  throw std::runtime_error("cannot write " + shown + ": " + reason);
}
[[noreturn]] void fail(const std::string& shown, int error) {
  fail(shown, error_text(error));
}

// The errors that mean "this filesystem or kernel has no O_TMPFILE".
bool no_unnamed_files(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// ".<as much of the base as fits>.<6 random letters>": always within the
// directory's name limit, however long the target's own name is.
std::string temporary_name(std::string_view base, long name_max) {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  constexpr std::size_t kSuffix = 7;  // '.' and six letters
  const std::size_t room = static_cast<std::size_t>(name_max) - 1 - kSuffix;
  std::string name(1, '.');
  name.append(base.substr(0, std::min(room, base.size())));
  name.push_back('.');
  for (std::size_t i = 1; i < kSuffix; ++i)
    name.push_back(kLetters[generator() % (sizeof kLetters - 1)]);
  return name;
}

// Makes a file under a fresh name beside `base` in `directory`: the full
// name goes into `path` and is published in the slot before make() creates
// it, so that no moment exists when it is on disk and unknown to a handler.
// make(leaf) returns a descriptor, 0 or more, or -1 with errno set.
int claim_name(const std::string& directory, std::string_view base, long name_max,
               cleanup::Slot slot, std::string& path,
               const std::function<int(const std::string&)>& make) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string leaf = temporary_name(base, name_max);
    path = directory + "/" + leaf;
    cleanup::publish_name(slot, path.c_str());
    const int result = make(leaf);
    if (result >= 0) return result;
    const int error = errno;
    cleanup::withdraw(slot);
    path.clear();
    if (error != EEXIST) {
      errno = error;
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

// ---- A stream: the descriptor given, or a device opened by name ----------

class StreamWriter final : public TargetWriter {
 public:
  StreamWriter(int fd, bool owned, const std::string& shown, cleanup::Slot slot)
      : fd_(fd), owned_(owned), shown_(shown), slot_(slot) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
    // A regular file ("> f", ">> f") is cut back to where it started if the
    // render fails, when the image only adds to what it held. One opened
    // with "<>" before its end would have bytes overwritten: not reversible.
    const int flags = fcntl(fd, F_GETFL);
    const off_t position = (flags & O_APPEND) != 0 ? status.st_size : lseek(fd, 0, SEEK_CUR);
    if (position < status.st_size) return;
    length_ = status.st_size;
    position_ = position;
    reversible_ = true;
    cleanup::publish_truncation(slot, fd, length_, position_);
  }
  ~StreamWriter() override {
    if (!committed_ && reversible_) {
      (void)!ftruncate(fd_, static_cast<off_t>(length_));
      lseek(fd_, static_cast<off_t>(position_), SEEK_SET);
    }
    cleanup::withdraw(slot_);
    if (owned_ && fd_ >= 0) close(fd_);
  }

  int descriptor() const override { return fd_; }
  bool seekable() const override { return false; }
  bool reversible() const override { return reversible_; }

  void commit(cleanup::CommitWindow& window) override {
    committed_ = true;
    if (!owned_) {
      window.in_place();
      return;
    }
    const int closed = close(fd_);
    fd_ = -1;
    window.in_place();
    if (closed != 0 && errno != EINTR) fail(shown_, errno);
  }

 private:
  int fd_;
  bool owned_;
  std::string shown_;
  cleanup::Slot slot_;
  bool reversible_ = false;
  bool committed_ = false;
  std::int64_t length_ = 0;
  std::int64_t position_ = 0;
};

// ---- An atomic replace: a new file linked or renamed into place ----------

class ReplaceWriter final : public TargetWriter {
 public:
  ReplaceWriter(const TargetPlan& plan, const std::string& shown, cleanup::Slot slot)
      : shown_(shown),
        slot_(slot),
        directory_(plan.directory),
        name_(plan.name),
        exists_(plan.kind == TargetKind::replace) {
    directory_fd_ = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Write and search permission suffice to create a file; reading is only
    // needed for the directory's fsync, which is then skipped.
    if (directory_fd_ < 0 && errno == EACCES) {
      directory_fd_ = open(directory_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (directory_fd_ < 0) fail(shown_, errno);
    // A constructor that throws runs no destructor: what it made goes here.
    try {
      const long limit = fpathconf(directory_fd_, _PC_NAME_MAX);
      if (limit > 16) name_max_ = limit;
      if (exists_) {
        // The shell's ">" opens the file for writing: whatever refuses that
        // (a running program) refuses the image too. It is not truncated.
        const int existing = open(plan.final_path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (existing < 0) fail(shown_, errno);
        close(existing);
      }
      if (!open_unnamed()) open_named();
      if (exists_) keep_owner_and_mode(plan.existing);
    } catch (...) {
      release();
      throw;
    }
  }
  ~ReplaceWriter() override { release(); }

  int descriptor() const override { return fd_; }
  bool seekable() const override { return true; }
  bool reversible() const override { return true; }

  void commit(cleanup::CommitWindow& window) override {
    if (fsync(fd_) != 0) fail(shown_, errno);
    put_in_place();
    committed_ = true;
    window.in_place();
    temporary_.clear();
    // The rename is only durable once the directory itself is on disk. A
    // directory opened for search only cannot be synced (EBADF).
    if (fsync(directory_fd_) != 0 && errno != EBADF && errno != EINVAL) fail(shown_, errno);
    const int closed = close(fd_);
    fd_ = -1;
    if (closed != 0 && errno != EINTR) fail(shown_, errno);
  }

 private:
  bool open_unnamed() {
    fd_ = openat(directory_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      if (no_unnamed_files(errno) || errno == ENOENT) return false;
      fail(shown_, errno);
    }
    // Linking it in later goes through /proc unless the process may link by
    // descriptor: without /proc, a named file it is.
    if (access(proc_name().c_str(), F_OK) != 0 && geteuid() != 0) {
      close(fd_);
      fd_ = -1;
      return false;
    }
    unnamed_ = true;
    return true;
  }

  void open_named() {
    fd_ = claim_name(directory_, name_, name_max_, slot_, temporary_, [&](const std::string& leaf) {
      return openat(directory_fd_, leaf.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    });
    if (fd_ < 0) fail(shown_, errno);
  }

  std::string proc_name() const { return "/proc/self/fd/" + std::to_string(fd_); }

  int link_as(const std::string& leaf) const {
    if (linkat(fd_, "", directory_fd_, leaf.c_str(), AT_EMPTY_PATH) == 0) return 0;
    return linkat(AT_FDCWD, proc_name().c_str(), directory_fd_, leaf.c_str(), AT_SYMLINK_FOLLOW);
  }

  void keep_owner_and_mode(const struct stat& existing) {
    // Root keeps the owner too; anyone else gets the file as their own, in
    // the old file's group (plan_target checked that it may be kept).
    if (geteuid() == 0) {
      (void)!fchown(fd_, existing.st_uid, existing.st_gid);
    } else {
      struct stat created {};
      if (fstat(fd_, &created) != 0) fail(shown_, errno);
      if (created.st_gid != existing.st_gid &&
          fchown(fd_, static_cast<uid_t>(-1), existing.st_gid) != 0) {
        fail(shown_, errno);
      }
    }
    if (fchmod(fd_, existing.st_mode & 07777) != 0) fail(shown_, errno);
  }

  void put_in_place() {
    if (unnamed_ && !exists_ && link_as(name_) == 0) return;  // a new name: no rename needed
    if (unnamed_) {
      const int linked = claim_name(directory_, name_, name_max_, slot_, temporary_,
                                    [&](const std::string& leaf) { return link_as(leaf); });
      if (linked < 0) fail(shown_, errno);
    }
    if (renameat(directory_fd_, base_name_of(temporary_).c_str(), directory_fd_, name_.c_str()) !=
        0) {
      const int error = errno;
      remove_named();
      fail(shown_, error);
    }
  }

  void release() {
    if (!committed_) remove_named();
    cleanup::withdraw(slot_);
    if (fd_ >= 0) close(fd_);
    if (directory_fd_ >= 0) close(directory_fd_);
  }

  void remove_named() {
    if (temporary_.empty()) return;
    unlinkat(directory_fd_, base_name_of(temporary_).c_str(), 0);
    cleanup::withdraw(slot_);
    temporary_.clear();
  }

  std::string shown_;
  cleanup::Slot slot_;
  std::string directory_;
  std::string name_;
  bool exists_;
  int directory_fd_ = -1;
  int fd_ = -1;
  bool unnamed_ = false;
  bool committed_ = false;
  long name_max_ = NAME_MAX;
  std::string temporary_;  // the named file's full name while one exists
};

// ---- In place: a scratch file copied over the file by the commit ---------

class InPlaceWriter final : public TargetWriter {
 public:
  InPlaceWriter(const TargetPlan& plan, const std::string& shown)
      : shown_(shown), existing_size_(plan.existing.st_size) {
    target_fd_ = open(plan.final_path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (target_fd_ < 0) fail(shown_, errno);
    const std::string directory = temporary_directory();
    const ScratchFile scratch = open_scratch_file(directory);
    if (scratch.fd < 0) {
      close(target_fd_);
      fail(shown_, scratch_failure(directory, scratch));
    }
    fd_ = scratch.fd;
  }
  ~InPlaceWriter() override {
    if (fd_ >= 0) close(fd_);
    if (target_fd_ >= 0) close(target_fd_);
  }

  int descriptor() const override { return fd_; }
  bool seekable() const override { return true; }
  bool reversible() const override { return true; }

  // Not atomic: the copy is the one step that could leave the file
  // incomplete, so the room it needs is claimed first (a size limit or a
  // full disk then fails with the file as it was), and no signal stops it.
  void commit(cleanup::CommitWindow& window) override {
    struct stat scratch {};
    if (fstat(fd_, &scratch) != 0) fail(shown_, "temporary file: " + error_text(errno));
    const auto size = static_cast<std::uint64_t>(scratch.st_size);
    reserve(static_cast<off_t>(size));
    const CopyFailure copied = copy_file(fd_, 0, size, target_fd_, 0);
    if (copied.error != 0) {
      fail(shown_, copied.reading ? "temporary file: " + error_text(copied.error)
                                  : error_text(copied.error));
    }
    if (ftruncate(target_fd_, static_cast<off_t>(size)) != 0) fail(shown_, errno);
    if (fsync(target_fd_) != 0) fail(shown_, errno);
    window.in_place();
    const int closed = close(target_fd_);
    target_fd_ = -1;
    if (closed != 0 && errno != EINTR) fail(shown_, errno);
  }

 private:
  void reserve(off_t size) {
    if (size <= existing_size_) return;
    // Growing the file checks the size limit; allocating checks the space.
    // Either failure cuts it back to its old length, its bytes untouched.
    int error = ftruncate(target_fd_, size) != 0 ? errno : 0;
    if (error == 0) {
      const int allocated = posix_fallocate(target_fd_, existing_size_, size - existing_size_);
      if (allocated != 0 && allocated != EOPNOTSUPP && allocated != EINVAL) error = allocated;
    }
    if (error == 0) return;
    (void)!ftruncate(target_fd_, existing_size_);
    fail(shown_, error);
  }

  std::string shown_;
  off_t existing_size_;
  int target_fd_ = -1;
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<TargetWriter> open_writer(const TargetPlan& plan, const std::string& shown,
                                          cleanup::Slot slot) {
  switch (plan.kind) {
    case TargetKind::descriptor:
      return std::make_unique<StreamWriter>(plan.descriptor, false, shown, slot);
    case TargetKind::stream: {
      const int fd = open(plan.final_path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) fail(shown, errno);
      return std::make_unique<StreamWriter>(fd, true, shown, slot);
    }
    case TargetKind::create:
    case TargetKind::replace:
      return std::make_unique<ReplaceWriter>(plan, shown, slot);
    case TargetKind::in_place:
      return std::make_unique<InPlaceWriter>(plan, shown);
    case TargetKind::refused:
      break;
  }
  throw std::logic_error("open_writer: a refused target");
}

std::string temporary_directory() {
  const char* directory = std::getenv("TMPDIR");
  return directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
}

ScratchFile open_scratch_file(const std::string& directory) {
  ScratchFile scratch;
  scratch.fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (scratch.fd >= 0) return scratch;
  scratch.unnamed_error = errno;
  // Only a filesystem without O_TMPFILE gets a named file, removed at once;
  // a directory that is missing or not writable is an error.
  if (!no_unnamed_files(errno)) return scratch;
  const cleanup::Slot slot = cleanup::take_slot();
  std::string name;
  scratch.fd =
      claim_name(directory, "lighting-render", NAME_MAX, slot, name, [&](const std::string& leaf) {
        return open((directory + "/" + leaf).c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
      });
  if (scratch.fd < 0) {
    scratch.named_error = errno;
  } else {
    unlink(name.c_str());
    cleanup::withdraw(slot);
  }
  cleanup::free_slot(slot);
  return scratch;
}

int open_temporary_file(const std::string& directory) {
  const ScratchFile scratch = open_scratch_file(directory);
  if (scratch.fd < 0)
    errno = scratch.named_error != 0 ? scratch.named_error : scratch.unnamed_error;
  return scratch.fd;
}

std::string scratch_place(const std::string& directory) {
  const char* set = std::getenv("TMPDIR");
  return "temporary file in " + (set != nullptr && set[0] != '\0'
                                     ? "$TMPDIR (" + printable_name(directory) + ")"
                                     : printable_name(directory));
}

std::string scratch_failure(const std::string& directory, const ScratchFile& attempt) {
  std::string why = error_text(attempt.unnamed_error);
  if (attempt.named_error != 0) {
    // /proc and the like: the directory is there, its filesystem holds no files.
    why = "its filesystem has no unnamed temporary files, and a named one cannot be made there (" +
          error_text(attempt.named_error) + ")";
  }
  return scratch_place(directory) + ": " + why;
}

int write_fully(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return ENOSPC;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

CopyFailure copy_file(int from, std::uint64_t begin, std::uint64_t end, int to, std::int64_t at) {
  std::vector<char> buffer(1 << 16);
  for (std::uint64_t offset = begin; offset < end;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - offset));
    const ssize_t got = pread(from, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return {got < 0 ? errno : EIO, true};
    for (ssize_t done = 0; done < got;) {
      const auto size = static_cast<std::size_t>(got - done);
      const ssize_t put =
          at >= 0
              ? pwrite(to, buffer.data() + done, size,
                       static_cast<off_t>(at + static_cast<std::int64_t>(offset - begin) + done))
              : ::write(to, buffer.data() + done, size);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return {put < 0 ? errno : ENOSPC, false};
      done += put;
    }
    offset += static_cast<std::uint64_t>(got);
  }
  return {};
}

}  // namespace render
