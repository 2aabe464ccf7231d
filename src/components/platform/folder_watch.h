// Changes to named files of one folder, as the kernel reports them (inotify): a reader that
// would otherwise look at the files again and again learns when to look.
#pragma once

#include <string>
#include <vector>

namespace quorlan {

// Watches a folder for changes to the files of the given names: written, truncated, attributes
// changed, created, removed, renamed to or from the name. Not thread-safe; owns its descriptor.
//
// The kernel sees only what happens on this machine, and a folder's watch only what happens
// through that folder: Local() is false when the folder, or one of the named files present when
// the watch was made, lies on a network or cluster file system (NFS, SMB, CIFS, FUSE, 9P, Ceph,
// AFS, Coda, GPFS, GFS2, OCFS2, Lustre, BeeGFS, OrangeFS), whose files other hosts may change
// unseen, or when a named file is mounted on its own (a bind mount, as containers make), whose
// writes the folder's watch never reports. A reader must then keep looking itself.
class FolderWatch {
 public:
  // Throws RuntimeError naming the folder when it cannot be watched (missing, or the system's
  // limit of watches reached).
  FolderWatch(const std::string& folder, std::vector<std::string> names);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  const std::string& folder() const { return folder_; }
  const std::vector<std::string>& names() const { return names_; }
  // Readable while reports wait to be read: for the event loop.
  int fd() const { return fd_; }
  bool Local() const { return local_; }
  // Reads every report waiting. True when one of the names changed, or when reports were lost
  // (the kernel's queue overflowed) or the watch ended (the folder removed or moved): the files
  // must then be looked at, and a watch that ended made anew.
  bool Changed();
  // False once the watch ended: the folder was removed, moved or unmounted.
  bool Watching() const { return watching_; }

 private:
  std::string folder_;
  std::vector<std::string> names_;
  int fd_ = -1;
  bool local_ = true;
  bool watching_ = true;
};

}  // namespace quorlan
