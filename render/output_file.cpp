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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <vector>

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

bool all_digits(std::string_view text) {
  return !text.empty() && text.size() <= 9 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether the directory, with every link resolved, is this process's own
// descriptor table: /proc/PID/fd or /proc/PID/task/TID/fd.
bool is_own_descriptor_table(const std::string& directory) {
  char* resolved = realpath(directory.c_str(), nullptr);
  if (resolved == nullptr) return false;
  const std::string real = resolved;
  std::free(resolved);
  const std::string own = "/proc/" + std::to_string(getpid()) + "/";
  if (!real.starts_with(own)) return false;
  const std::string_view rest = std::string_view(real).substr(own.size());
  if (rest == "fd") return true;
  constexpr std::string_view kTask = "task/", kTable = "/fd";
  return rest.starts_with(kTask) && rest.ends_with(kTable) &&
         all_digits(rest.substr(kTask.size(), rest.size() - kTask.size() - kTable.size()));
}

std::string describe_descriptor(int fd) {
  switch (fd) {
    case STDOUT_FILENO:
      return "standard output";
    case STDERR_FILENO:
      return "standard error";
    default:
      return "descriptor " + std::to_string(fd);
  }
}

}  // namespace

std::string printable_name(std::string_view name) {
  const auto harmless = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte != 0x7F;
  };
  if (std::all_of(name.begin(), name.end(), harmless)) return std::string(name);
  std::string quoted = "\"";
  for (const char c : name) {
    switch (c) {
      case '\n':
        quoted += "\\n";
        break;
      case '\t':
        quoted += "\\t";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      default:
        if (harmless(c)) {
          quoted += c;
        } else {
          char escape[5];
          std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
          quoted += escape;
        }
    }
  }
  return quoted + "\"";
}

std::optional<int> descriptor_named(const std::string& path) {
  if (path == "-") return STDOUT_FILENO;
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    const std::string base = base_name_of(current);
    if (all_digits(base) && is_own_descriptor_table(directory_of(current))) {
      return std::stoi(base);
    }
    struct stat status {};
    if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return std::nullopt;
    // A link inside /proc (another process's descriptor, /proc/self/exe) is
    // not a name to follow as text.
    if (on_procfs(current)) return std::nullopt;
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(current.c_str(), target.data(), target.size());
    if (length < 0) return std::nullopt;
    target.resize(static_cast<std::size_t>(length));
    current = target.starts_with('/') ? target : directory_of(current) + "/" + target;
  }
  return std::nullopt;
}

std::string temporary_directory() {
  const char* directory = std::getenv("TMPDIR");
  return directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
}

int open_temporary_file(const std::string& directory) {
  int fd = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // Only a filesystem without O_TMPFILE gets a named file, unlinked at once;
  // a directory that is missing or not writable is an error.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
  std::string name = directory + "/lighting-render.XXXXXX";
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  unlink(name.c_str());
  return fd;
}

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
  // inherited: a descriptor the process was given, written to, never closed.
  // in_place: fd is a scratch file, copied over in_place_fd by commit().
  enum class Kind { stream, inherited, unnamed, named, in_place };

  std::string path;  // as given, made printable
  Kind kind = Kind::stream;
  int fd = -1;
  int in_place_fd = -1;  // the existing file, open for writing, when in place
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

  void open_inherited(int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL);
    const std::string what = describe_descriptor(descriptor);
    if (flags < 0) fail(what + " is not open");
    if ((flags & O_PATH) != 0 || (flags & O_ACCMODE) == O_RDONLY) {
      fail(what + " is not open for writing");
    }
    kind = Kind::inherited;
    fd = descriptor;
  }

  // The shell's ">" opens an existing file for writing: whatever refuses
  // that (its mode, a read-only filesystem, an immutable file, a running
  // program) refuses the image too. The file is not truncated here.
  int open_existing_for_writing(const std::string& final_path) const {
    const int existing = open(final_path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (existing < 0) fail(errno);
    return existing;
  }

  // Whether a new file renamed over the existing one would be the same file
  // in all but its contents, so that replacing it cannot be told from
  // writing it, but for being atomic.
  bool can_replace(const struct stat& existing) const {
    const uid_t user = geteuid();
    if (existing.st_nlink != 1) return false;  // the other names would keep the old image
    if (user != 0 && existing.st_uid != user) return false;  // it would become the user's
    return faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  }

  // Gives the new file the existing one's group; false when the user may
  // not (not root and not a member), and so the file must be written in place.
  bool keep_group(const struct stat& existing) const {
    struct stat created {};
    if (fstat(fd, &created) != 0) fail(errno);
    if (created.st_gid == existing.st_gid) return true;
    return fchown(fd, static_cast<uid_t>(-1), existing.st_gid) == 0;
  }

  void abandon_replacement() {
    remove_named();
    close(fd);
    fd = -1;
  }

  void open_in_place(int existing) {
    in_place_fd = existing;
    const std::string scratch = temporary_directory();
    fd = open_temporary_file(scratch);
    if (fd < 0) {
      const char* set = std::getenv("TMPDIR");
      const std::string named =
          set != nullptr && set[0] != '\0' ? "$TMPDIR (" + printable_name(scratch) + ")" : scratch;
      fail("temporary file in " + named + ": " + error_text(errno));
    }
    kind = Kind::in_place;
  }

  // Copies the finished image over the existing file, then cuts off any
  // longer old tail. Not atomic: this is the one step that can leave the
  // file incomplete.
  void copy_in_place() {
    std::vector<char> buffer(1 << 16);
    off_t offset = 0;
    for (;;) {
      const ssize_t got = pread(fd, buffer.data(), buffer.size(), offset);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) fail("temporary file: " + error_text(errno));
      if (got == 0) break;
      for (ssize_t done = 0; done < got;) {
        const ssize_t put = pwrite(in_place_fd, buffer.data() + done,
                                   static_cast<std::size_t>(got - done), offset + done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) fail(put < 0 ? errno : ENOSPC);
        done += put;
      }
      offset += got;
    }
    if (ftruncate(in_place_fd, offset) != 0) fail(errno);
    if (fsync(in_place_fd) != 0) fail(errno);
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
    if (fd >= 0 && kind != Kind::inherited) close(fd);
    if (in_place_fd >= 0) close(in_place_fd);
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
  s.path = printable_name(path);
  if (path.empty()) s.fail(ENOENT);
  hold_xfsz_ignored();
  s.xfsz_held = true;
  // Reopening /dev/stdout would start a regular file over at offset 0 and
  // drop O_APPEND: the descriptor itself is written to.
  if (const auto descriptor = descriptor_named(path)) {
    s.open_inherited(*descriptor);
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
  if (!exists) {
    if (!s.try_unnamed()) {
      s.kind = State::Kind::named;
      s.create_named(false);
    }
    return;
  }

  s.check_sticky(status);
  const int existing = s.open_existing_for_writing(final_path);
  if (fstat(existing, &status) != 0) {
    const int stat_error = errno;
    close(existing);
    s.fail(stat_error);
  }
  if (s.can_replace(status)) {
    close(existing);
    if (!s.try_unnamed()) {
      s.kind = State::Kind::named;
      s.create_named(false);
    }
    if (s.keep_group(status)) {
      s.keep_mode(status);
      return;
    }
    s.abandon_replacement();
    s.open_in_place(s.open_existing_for_writing(final_path));
    return;
  }
  s.open_in_place(existing);
}

OutputFile::~OutputFile() = default;

int OutputFile::descriptor() const noexcept {
  return state_->fd;
}

bool OutputFile::seekable() const noexcept {
  const auto kind = state_->kind;
  return kind == State::Kind::unnamed || kind == State::Kind::named ||
         kind == State::Kind::in_place;
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
  if (s.kind == State::Kind::inherited) {
    s.committed = true;
    return;
  }
  if (s.kind == State::Kind::stream) {
    const int closed = close(s.fd);
    s.fd = -1;
    s.committed = true;
    if (closed != 0 && errno != EINTR) s.fail(errno);
    return;
  }
  if (s.kind == State::Kind::in_place) {
    s.copy_in_place();
    s.committed = true;
    const int closed = close(s.in_place_fd);
    s.in_place_fd = -1;
    if (closed != 0 && errno != EINTR) s.fail(errno);
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
