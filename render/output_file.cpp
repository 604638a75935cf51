#include "output_file.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>

namespace render {

namespace {

// ---- What a signal handler may remove ------------------------------------
//
// Each writer with a named file on disk that is not yet in place publishes a
// pointer to that file's complete, NUL-terminated name in a slot of its own.
// The handler only loads the pointers and unlinks: both async-signal-safe. A
// writer withdraws its pointer before the name's storage changes and then
// waits for any running handler, which ends the process anyway.

constexpr std::size_t kSlots = 64;
std::array<std::atomic<const char*>, kSlots> g_pending{};
std::array<std::atomic<bool>, kSlots> g_slot_taken{};
std::atomic<bool> g_handler_running{false};

std::size_t take_slot() {
  for (std::size_t i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (g_slot_taken[i].compare_exchange_strong(expected, true)) return i;
  }
  throw std::runtime_error("too many images being written at once");
}

void publish(std::size_t slot, const char* name) {
  g_pending[slot].store(name, std::memory_order_release);
}

void withdraw(std::size_t slot) {
  g_pending[slot].store(nullptr, std::memory_order_release);
  while (g_handler_running.load(std::memory_order_acquire)) {
    // The handler is removing files and will end the process.
  }
}

constexpr std::array<int, 3> kRemovingSignals = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_pending_and_reraise(int signal_number) {
  const int saved_errno = errno;
  g_handler_running.store(true, std::memory_order_seq_cst);
  for (auto& slot : g_pending) {
    if (const char* name = slot.load(std::memory_order_acquire)) unlink(name);
  }
  // End as killed by this signal: the default action, delivered as soon as
  // the handler returns and the signal is unblocked again.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal_number, &default_action, nullptr);
  raise(signal_number);
  errno = saved_errno;
}

// While any target is open a file-size limit must fail the write (EFBIG) and
// reach the cleanup, rather than kill the process with SIGXFSZ.
std::mutex g_xfsz_mutex;
int g_xfsz_users = 0;
struct sigaction g_xfsz_before {};

void hold_xfsz_ignored() {
  const std::lock_guard lock(g_xfsz_mutex);
  if (g_xfsz_users++ > 0) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, &g_xfsz_before);
}

void release_xfsz() {
  const std::lock_guard lock(g_xfsz_mutex);
  if (--g_xfsz_users == 0) sigaction(SIGXFSZ, &g_xfsz_before, nullptr);
}

// ---- Paths ----------------------------------------------------------------

std::string error_text(int error) {
  return std::generic_category().message(error);
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool on_procfs(const std::string& path) {
  struct statfs info {};
  return statfs(directory_of(path).c_str(), &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
}

// Follows symbolic links in the last component to the name that a rename
// must replace. Empty when a link lives on /proc (/dev/stdout, /dev/fd/N):
// those name open descriptors, not files, and are written to as they are.
std::string final_target(const std::string& path, int& error) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status {};
    if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return current;
    if (on_procfs(current)) return {};
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(current.c_str(), target.data(), target.size());
    if (length < 0) {
      error = errno;
      return {};
    }
    target.resize(static_cast<std::size_t>(length));
    current = target.starts_with('/') ? target : directory_of(current) + "/" + target;
  }
  error = ELOOP;
  return {};
}

// A connection to a listening Unix socket: the one way to write to one.
int connect_socket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// ".<as much of the name as fits>.<6 random letters>": always within the
// directory's name limit, however long the target's own name is.
std::string temporary_name(const std::string& base, long name_max) {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  constexpr std::size_t kSuffix = 7;  // '.' and six letters
  const std::size_t room = static_cast<std::size_t>(name_max) - 1 - kSuffix;
  std::string name(1, '.');
  name.append(base, 0, std::min(room, base.size()));
  name.push_back('.');
  for (std::size_t i = 1; i < kSuffix; ++i)
    name.push_back(kLetters[generator() % (sizeof kLetters - 1)]);
  return name;
}

}  // namespace

void install_signal_handlers() {
  for (const int signal_number : kRemovingSignals) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) continue;
    // An ignored signal stays ignored: nohup and background jobs rely on it.
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_pending_and_reraise;
    sigemptyset(&action.sa_mask);
    for (const int other : kRemovingSignals) sigaddset(&action.sa_mask, other);
    sigaction(signal_number, &action, nullptr);
  }
}

struct OutputFile::State {
  enum class Kind { stream, standard_output, unnamed, named };

  std::string path;  // as given
  Kind kind = Kind::stream;
  int fd = -1;
  int directory_fd = -1;
  std::string directory;  // of the final target
  std::string target;     // the final target's name in directory
  bool target_exists = false;
  std::string temporary;  // directory + "/" + name while a named file exists
  std::size_t slot = kSlots;
  bool committed = false;
  bool xfsz_held = false;
  long name_max = NAME_MAX;

  [[noreturn]] void fail(int error) const { fail(error_text(error)); }
  [[noreturn]] void fail(const std::string& reason) const {
    throw std::runtime_error("cannot write " + path + ": " + reason);
  }

  void open_stream() {
    fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENXIO) fd = connect_socket(path);
    if (fd < 0) fail(errno);
    kind = Kind::stream;
  }

  void open_directory() {
    directory_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Write and search permission suffice to create a file; reading is only
    // needed for the directory's fsync, which is then skipped.
    if (directory_fd < 0 && errno == EACCES) {
      directory_fd = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (directory_fd < 0) fail(errno);
    const long limit = fpathconf(directory_fd, _PC_NAME_MAX);
    if (limit > 16) name_max = limit;
  }

  // A rename into a sticky directory needs to own the directory or the file.
  void check_sticky(const struct stat& existing) const {
    struct stat status {};
    if (fstat(directory_fd, &status) != 0 || (status.st_mode & S_ISVTX) == 0) return;
    const uid_t user = geteuid();
    if (user == 0 || user == status.st_uid || user == existing.st_uid) return;
    fail(EPERM);
  }

  bool try_unnamed() {
    fd = openat(directory_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT) {
        return false;  // the filesystem or kernel cannot: use a named file
      }
      fail(errno);
    }
    // Linking it in later goes through /proc unless the process may link by
    // descriptor: without /proc, a named file it is.
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (access(proc.c_str(), F_OK) != 0 && geteuid() != 0) {
      close(fd);
      fd = -1;
      return false;
    }
    kind = Kind::unnamed;
    return true;
  }

  // Creates a named file beside the target; publishes it before creating it,
  // so that no moment exists when it is on disk and unknown to the handler.
  void create_named(bool for_link) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      temporary = directory + "/" + temporary_name(target, name_max);
      const std::string name = base_name_of(temporary);
      publish(slot, temporary.c_str());
      const int result = for_link ? link_unnamed(name)
                                  : (fd = openat(directory_fd, name.c_str(),
                                                 O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666));
      if (result >= 0) return;
      const int error = errno;
      withdraw(slot);
      temporary.clear();
      if (error != EEXIST) fail(error);
    }
    fail(EEXIST);
  }

  int link_unnamed(const std::string& name) const {
    if (linkat(fd, "", directory_fd, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, proc.c_str(), directory_fd, name.c_str(), AT_SYMLINK_FOLLOW);
  }

  void remove_named() {
    if (temporary.empty()) return;
    unlinkat(directory_fd, base_name_of(temporary).c_str(), 0);
    withdraw(slot);
    temporary.clear();
  }

  void keep_mode(const struct stat& existing) {
    // Root can keep the owner too; anyone else gets the file as their own.
    if (geteuid() == 0) (void)!fchown(fd, existing.st_uid, existing.st_gid);
    if (fchmod(fd, existing.st_mode & 07777) != 0) fail(errno);
  }

  void put_in_place() {
    if (kind == Kind::unnamed && !target_exists &&
        link_unnamed(target) == 0) {  // a new name: no rename needed
      return;
    }
    if (kind == Kind::unnamed) create_named(true);
    if (renameat(directory_fd, base_name_of(temporary).c_str(), directory_fd, target.c_str()) !=
        0) {
      const int error = errno;
      remove_named();
      fail(error);
    }
    withdraw(slot);
    temporary.clear();
  }

  ~State() {
    if (!committed) remove_named();
    if (fd >= 0 && kind != Kind::standard_output) close(fd);
    if (directory_fd >= 0) close(directory_fd);
    if (slot < kSlots) {
      withdraw(slot);
      g_slot_taken[slot].store(false);
    }
    if (xfsz_held) release_xfsz();
  }
};

OutputFile::OutputFile(const std::string& path) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = path;
  if (path.empty()) s.fail(ENOENT);
  hold_xfsz_ignored();
  s.xfsz_held = true;
  if (path == "-") {
    s.kind = State::Kind::standard_output;
    s.fd = STDOUT_FILENO;
    return;
  }

  // Anything that exists and is not a regular file is written to as it is.
  struct stat status {};
  const bool exists = stat(path.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) s.fail(errno);
  if (path.ends_with('/') || (exists && S_ISDIR(status.st_mode))) s.fail(EISDIR);
  if (exists && !S_ISREG(status.st_mode)) {
    s.open_stream();
    return;
  }

  int error = 0;
  const std::string final_path = final_target(path, error);
  if (error != 0) s.fail(error);
  if (final_path.empty()) {  // a regular file behind /proc
    s.open_stream();
    return;
  }

  s.directory = directory_of(final_path);
  s.target = base_name_of(final_path);
  s.target_exists = exists;
  s.slot = take_slot();
  s.open_directory();
  if (exists) s.check_sticky(status);
  if (!s.try_unnamed()) {
    s.kind = State::Kind::named;
    s.create_named(false);
  }
  if (exists) s.keep_mode(status);
}

OutputFile::~OutputFile() = default;

int OutputFile::descriptor() const noexcept {
  return state_->fd;
}

bool OutputFile::seekable() const noexcept {
  return state_->kind == State::Kind::unnamed || state_->kind == State::Kind::named;
}

const std::string& OutputFile::path() const noexcept {
  return state_->path;
}

void OutputFile::write_all(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(state_->fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) state_->fail(errno);
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

void OutputFile::commit() {
  State& s = *state_;
  if (s.committed) return;
  if (!seekable()) {
    if (s.kind == State::Kind::stream) {
      const int closed = close(s.fd);
      s.fd = -1;
      if (closed != 0 && errno != EINTR) s.fail(errno);
    }
    s.committed = true;
    return;
  }
  if (fsync(s.fd) != 0) s.fail(errno);
  s.put_in_place();
  s.committed = true;
  // The rename is only durable once the directory itself is on disk. A
  // directory opened for search only cannot be synced (EBADF).
  if (fsync(s.directory_fd) != 0 && errno != EBADF && errno != EINVAL) s.fail(errno);
  const int closed = close(s.fd);
  s.fd = -1;
  if (closed != 0 && errno != EINTR) s.fail(errno);
}

}  // namespace render
