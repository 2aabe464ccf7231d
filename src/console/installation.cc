// The installation folder the console works on: its settings, its suite database, and whether
// its service runs.
#include <fmt/format.h>
#include <sys/stat.h>

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

Installation::Installation(const std::string& dir, Clock& clock, EventLoop& loop)
    : st_(Absolute(dir), clock, loop) {
  if (!FileExists(st_.AppPath + "/Quorlan.mdb")) {
    throw UsageError(fmt::format(
        "{} holds no installation of quorlan-trend (no Quorlan.mdb); name one with -d DIR or "
        "create one with quorlan-trendctl init DIR",
        st_.AppPath));
  }
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
