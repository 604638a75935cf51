// What an output target is and how it will be written, decided before
// anything is written: plan_target() only looks (stat, lstat, readlink,
// fcntl's F_GETFL, access checks), so that every refusal comes before any
// shading and leaves no trace.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace render {

enum class TargetKind {
  descriptor,  // one of this process's descriptors, written where it stands
  stream,      // exists and is not a regular file (a device, a FIFO): written to directly
  create,      // does not exist: a new file, linked in by the commit
  replace,     // a regular file replaced atomically by a new one with its mode and group
  in_place,    // a regular file that must keep its inode: copied over by the commit
  refused,     // see error or reason
};

struct TargetPlan {
  TargetKind kind = TargetKind::refused;
  int descriptor = -1;      // kind descriptor: its number
  std::string final_path;   // the file the links lead to (create, replace, in_place, stream)
  std::string directory;    // final_path's directory
  std::string name;         // final_path's last component
  struct stat existing {};  // what final_path or the descriptor is, when it exists
  int error = 0;            // kind refused: an errno, or 0 with a reason
  std::string reason;
};

TargetPlan plan_target(const std::string& path);

// The descriptor that a target names when it is this process's own: 1 for
// "-", N for /dev/stdout (1), /dev/stderr (2), /dev/fd/N, /proc/self/fd/N and
// /proc/thread-self/fd/N, also through symbolic links. Empty for any other name.
std::optional<int> descriptor_named(const std::string& path);

// The symbolic links that end `path`, followed hop by hop: the path, then
// each name a link leads to, up to a name that is not a link or is a link
// on /proc (those name open files, not paths, and are not followed).
struct LinkChain {
  std::vector<std::string> names;
  bool ends_on_proc = false;
  int error = 0;  // readlink's, or ELOOP after 40 links
};
LinkChain follow_links(const std::string& path);

// The whole target of a symbolic link, however long; `initial` is the first
// buffer size tried. A result that fills the buffer may have been cut, so it
// is read again with a larger one. Empty with errno set on failure.
std::optional<std::string> read_link(const std::string& path, std::size_t initial = 256);

std::string directory_of(const std::string& path);
std::string base_name_of(const std::string& path);

}  // namespace render
