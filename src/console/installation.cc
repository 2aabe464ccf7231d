// The installation folder the console works on: its settings, its suite database, and whether
// its service runs.
#include <fmt/format.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "components/platform/platform.h"
#include "console/internal.h"
#include "service/service.h"

namespace quorlan::console {
namespace {

std::string Absolute(const std::string& dir) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(dir, ec);
  std::string text = (ec ? std::filesystem::path(dir) : p.lexically_normal()).string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string UserName(uid_t uid) {
  const passwd* user = getpwuid(uid);
  return user != nullptr ? fmt::format("user {} (uid {})", user->pw_name, uid)
                         : fmt::format("uid {}", uid);
}

std::string GroupName(gid_t gid) {
  const group* g = getgrgid(gid);
  return g != nullptr ? fmt::format("{} (gid {})", g->gr_name, gid) : fmt::format("gid {}", gid);
}

}  // namespace

std::optional<int> ServicePid(const std::string& dir) {
  struct stat lock {};
  const std::string path = dir + "/" + InstanceLock::kLockFileName;
  if (::stat(path.c_str(), &lock) != 0) return 0;  // never started here
  std::ifstream locks("/proc/locks");
  if (!locks) return std::nullopt;
  // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10953570 0 EOF". The inode decides: on overlay file
  // systems the device shown may differ from the one stat gives.
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream in(line);
    std::string number, kind, mode, access, where;
    int pid = 0;
    if (!(in >> number >> kind >> mode >> access >> pid >> where) || kind != "FLOCK") continue;
    const size_t colon = where.rfind(':');
    if (colon != std::string::npos && where.substr(colon + 1) == std::to_string(lock.st_ino)) {
      return pid;
    }
  }
  return 0;
}

std::string OthersCanWrite(const std::string& path, uid_t user) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  if (st.st_uid != user) return fmt::format("{} belongs to {}", path, UserName(st.st_uid));
  if ((st.st_mode & S_IWOTH) != 0 && !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0)) {
    return fmt::format("every user can write {}", path);
  }
  if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0) {
    return fmt::format("the group {} can write {}", GroupName(st.st_gid), path);
  }
  return "";
}

void RefuseRootOnUntrustedFiles(const std::string& dir) {
  if (::geteuid() != 0) return;
  const std::string root = Absolute(dir);
  std::vector<std::string> paths = {root + "/Quorlan.mdb", root + "/Quorlan.ini"};
  for (std::filesystem::path folder = root;; folder = folder.parent_path()) {
    paths.push_back(folder.string());
    if (folder == folder.parent_path()) break;
  }
  for (const std::string& path : paths) {
    const std::string why = OthersCanWrite(path, 0);
    if (why.empty()) continue;
    throw RuntimeError(
        err::kPathFileAccess,
        fmt::format("refusing to work as root on {}: {}, so another user could make this "
                    "program run code as root; run it as the installation's owner "
                    "(sudo -u OWNER quorlan-trendctl ...)",
                    root, why));
  }
}

Installation::Installation(const std::string& dir, Clock& clock, EventLoop& loop)
    : st_(Absolute(dir), clock, loop) {
  if (!FileExists(st_.AppPath + "/Quorlan.mdb")) {
    throw UsageError(fmt::format(
        "{} holds no installation of quorlan-trend (no Quorlan.mdb); name one with -d DIR or "
        "create one with quorlan-trendctl init DIR",
        st_.AppPath));
  }
  RefuseRootOnUntrustedFiles(st_.AppPath);
  st_.Db = NewOdbcDriver({.sqlite_idle_seconds = 0});
  // A faulty line of Quorlan.ini is the service's to report (at its start); the console takes
  // the values up to it, as the service does.
  ReadIniSettings(st_.AppPath, st_.Ini);
  SettingsConsoleRead(st_);
  if (st_.DbConnStringSql.empty()) {
    throw RuntimeError(err::kDatabase,
                       st_.AppPath + "/Quorlan.mdb names no suite database (DbConnStringSql)");
  }
}

std::unique_ptr<Connection> Installation::Open() { return OpenSuiteConnection(st_); }

}  // namespace quorlan::console
