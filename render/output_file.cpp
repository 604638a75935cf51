// A minimal OutputFile: a regular file goes through a named temporary file
// beside it and a rename; an existing non-regular file (a device, a FIFO) and
// "-" (standard output) are written in place, without seeking.
#include "output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace render {

namespace {

[[noreturn]] void fail(const std::string& path, int error) {
  throw std::runtime_error("cannot write " + path + ": " + std::generic_category().message(error));
}

std::string temporary_beside(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return (slash == std::string::npos ? "./" : directory) + "." + name + ".XXXXXX";
}

}  // namespace

struct OutputFile::State {
  std::string path;
  std::string temporary;  // empty when writing in place
  int fd = -1;
  bool committed = false;

  ~State() {
    if (fd >= 0 && fd != STDOUT_FILENO) close(fd);
    if (!committed && !temporary.empty()) unlink(temporary.c_str());
  }
};

OutputFile::OutputFile(const std::string& path) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = path;
  struct stat info {};
  if (path == "-") {
    s.fd = STDOUT_FILENO;
    return;
  }
  if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    s.fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (s.fd < 0) fail(path, errno);
    return;
  }
  s.temporary = temporary_beside(path);
  s.fd = mkostemp(s.temporary.data(), O_CLOEXEC);
  if (s.fd < 0) {
    const int error = errno;
    s.temporary.clear();
    fail(path, error);
  }
  // mkstemp makes the file private; give it the permissions a new file gets.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(s.fd, 0666 & ~mask);
}

OutputFile::~OutputFile() = default;

int OutputFile::descriptor() const noexcept {
  return state_->fd;
}

bool OutputFile::seekable() const noexcept {
  return !state_->temporary.empty();
}

const std::string& OutputFile::path() const noexcept {
  return state_->path;
}

void OutputFile::commit() {
  State& s = *state_;
  if (s.temporary.empty()) {
    s.committed = true;
    return;
  }
  if (fsync(s.fd) != 0) fail(s.path, errno);
  const int closed = close(s.fd);
  s.fd = -1;
  if (closed != 0) fail(s.path, errno);
  if (std::rename(s.temporary.c_str(), s.path.c_str()) != 0) fail(s.path, errno);
  s.committed = true;
}

}  // namespace render
