#include "components/platform/folder_watch.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "components/platform/values.h"

namespace quorlan {
namespace {

constexpr uint32_t kChanges =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// The watch itself ended or can no longer be trusted.
constexpr uint32_t kWatchEnded = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

[[noreturn]] void Fail(const char* what, const std::string& folder, int error) {
  char buf[256];
  throw RuntimeError(err::kComponent,
                     fmt::format("{} {}: {}", what, folder, strerror_r(error, buf, sizeof buf)));
}

// File systems whose files other machines change without this kernel's knowledge.
bool NetworkFileSystem(long type) {
  constexpr long kTypes[] = {
      0x6969 /* NFS */,        0x517B /* SMB */,        0xFF534D42 /* CIFS */,
      0xFE534D42 /* SMB2 */,   0x65735546 /* FUSE */,   0x01021997 /* 9P */,
      0x00C36400 /* Ceph */,   0x5346414F /* AFS */,    0x73757245 /* Coda */,
      0x47504653 /* GPFS */,   0x01161970 /* GFS2 */,   0x7461636F /* OCFS2 */,
      0x0BD00BD0 /* Lustre */, 0x19830326 /* BeeGFS */, 0x20030528 /* OrangeFS */};
  return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

}  // namespace

FolderWatch::FolderWatch(const std::string& folder, std::vector<std::string> names)
    : folder_(folder), names_(std::move(names)) {
  struct statfs fs {};
  if (::statfs(folder_.c_str(), &fs) != 0) Fail("watch", folder_, errno);
  local_ = !NetworkFileSystem(static_cast<long>(fs.f_type));
  for (const std::string& name : names_) {
    // A file mounted on its own over a name of the folder: it may lie on another file system, and
    // writes to it are not reported to the folder's watch.
    const std::string path = folder_ + "/" + name;
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes_mask & sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
      local_ = false;
    }
    struct statfs file_fs {};
    if (::statfs(path.c_str(), &file_fs) == 0 &&
        NetworkFileSystem(static_cast<long>(file_fs.f_type))) {
      local_ = false;
    }
  }
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) Fail("watch", folder_, errno);
  if (::inotify_add_watch(fd_, folder_.c_str(),
                          kChanges | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
    const int e = errno;
    ::close(fd_);
    Fail("watch", folder_, e);
  }
}

FolderWatch::~FolderWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool FolderWatch::Changed() {
  bool changed = false;
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return changed;  // EAGAIN: all read
    for (ssize_t at = 0; at < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if ((ev->mask & (kWatchEnded | IN_Q_OVERFLOW)) != 0) {
        watching_ = watching_ && (ev->mask & kWatchEnded) == 0;
        changed = true;
        continue;
      }
      const std::string name = ev->len > 0 ? std::string(ev->name) : std::string();
      if (std::find(names_.begin(), names_.end(), name) != names_.end()) changed = true;
    }
  }
}

}  // namespace quorlan
