#include "target_plan.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace render {

namespace {

bool all_digits(std::string_view text) {
  return !text.empty() && text.size() <= 9 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool on_procfs(const std::string& path) {
  struct statfs info {};
  return statfs(directory_of(path).c_str(), &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
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

TargetPlan refused(int error, std::string reason = {}) {
  TargetPlan plan;
  plan.kind = TargetKind::refused;
  plan.error = error;
  plan.reason = std::move(reason);
  return plan;
}

TargetPlan plan_descriptor(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  const std::string what = describe_descriptor(fd);
  if (flags < 0) return refused(0, what + " is not open");
  if ((flags & O_PATH) != 0 || (flags & O_ACCMODE) == O_RDONLY) {
    return refused(0, what + " is not open for writing");
  }
  TargetPlan plan;
  plan.kind = TargetKind::descriptor;
  plan.descriptor = fd;
  if (fstat(fd, &plan.existing) != 0) return refused(errno);
  return plan;
}

bool writable_directory(const std::string& directory) {
  return faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Whether a new file in the directory can be given the existing file's
// group: it gets it by itself, or the user may change it to it.
bool group_can_be_kept(const struct stat& existing, const struct stat& directory) {
  const gid_t created = (directory.st_mode & S_ISGID) != 0 ? directory.st_gid : getegid();
  if (existing.st_gid == created || geteuid() == 0 || existing.st_gid == getegid()) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = getgroups(count, groups.data());
  return got > 0 &&
         std::find(groups.begin(), groups.begin() + got, existing.st_gid) != groups.begin() + got;
}

// Whether a new file renamed over the existing one would be the same file
// in all but its contents (and being atomic): one name, the user's own (or
// root's to give), its group keepable, and a directory the user may write.
bool can_replace(const struct stat& existing, const std::string& directory,
                 const struct stat& directory_status) {
  const uid_t user = geteuid();
  if (existing.st_nlink != 1) return false;  // the other names would keep the old image
  if (user != 0 && existing.st_uid != user) return false;  // it would become the user's
  return writable_directory(directory) && group_can_be_kept(existing, directory_status);
}

}  // namespace

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> read_link(const std::string& path, std::size_t initial) {
  std::string target(std::max<std::size_t>(initial, 1), '\0');
  for (;;) {
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    // A full buffer may hold only the start of the target.
    if (target.size() >= (std::size_t{1} << 20)) {
      errno = ENAMETOOLONG;
      return std::nullopt;
    }
    target.resize(2 * target.size());
  }
}

LinkChain follow_links(const std::string& path) {
  LinkChain chain;
  chain.names.push_back(path);
  for (int hops = 0; hops <= 40; ++hops) {
    const std::string& current = chain.names.back();
    struct stat status {};
    if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return chain;
    if (on_procfs(current)) {
      chain.ends_on_proc = true;
      return chain;
    }
    const auto target = read_link(current);
    if (!target) {
      chain.error = errno;
      return chain;
    }
    chain.names.push_back(target->starts_with('/') ? *target
                                                   : directory_of(current) + "/" + *target);
  }
  chain.error = ELOOP;
  return chain;
}

std::optional<int> descriptor_named(const std::string& path) {
  if (path == "-") return STDOUT_FILENO;
  for (const std::string& name : follow_links(path).names) {
    const std::string base = base_name_of(name);
    if (all_digits(base) && is_own_descriptor_table(directory_of(name))) return std::stoi(base);
  }
  return std::nullopt;
}

TargetPlan plan_target(const std::string& path) {
  if (path.empty()) return refused(ENOENT);
  // Reopening /dev/stdout would start a regular file over at offset 0 and
  // drop O_APPEND: the descriptor itself is written to.
  if (const auto descriptor = descriptor_named(path)) return plan_descriptor(*descriptor);

  struct stat status {};
  const bool exists = stat(path.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) return refused(errno);
  if (path.ends_with('/') || (exists && S_ISDIR(status.st_mode))) return refused(EISDIR);
  TargetPlan plan;
  plan.existing = status;
  if (exists && S_ISSOCK(status.st_mode)) {
    return refused(0, "it is a socket, which lighting-render does not connect to");
  }
  if (exists && !S_ISREG(status.st_mode)) {
    plan.kind = TargetKind::stream;
    plan.final_path = path;
    return plan;
  }

  const LinkChain chain = follow_links(path);
  if (chain.error != 0) return refused(chain.error);
  if (chain.ends_on_proc) {
    return refused(0, "it is a regular file named through another process's descriptor");
  }
  plan.final_path = chain.names.back();
  plan.directory = directory_of(plan.final_path);
  plan.name = base_name_of(plan.final_path);

  struct stat directory {};
  if (stat(plan.directory.c_str(), &directory) != 0) return refused(errno);
  if (!exists) {
    if (!writable_directory(plan.directory)) return refused(errno);
    plan.kind = TargetKind::create;
    return plan;
  }
  // A rename into a sticky directory needs to own the directory or the file.
  const uid_t user = geteuid();
  if ((directory.st_mode & S_ISVTX) != 0 && user != 0 && user != directory.st_uid &&
      user != status.st_uid) {
    return refused(EPERM);
  }
  // What refuses the shell's ">" (the mode, a read-only filesystem, an
  // immutable file) refuses the image too.
  if (faccessat(AT_FDCWD, plan.final_path.c_str(), W_OK, AT_EACCESS) != 0) return refused(errno);
  plan.kind =
      can_replace(status, plan.directory, directory) ? TargetKind::replace : TargetKind::in_place;
  return plan;
}

}  // namespace render
