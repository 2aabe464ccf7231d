#include "storage/sqlite_pool.h"

#include <sqlext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlan {

SqlitePool::~SqlitePool() {
  for (const auto& [odbc, parked] : parked_) Discard(parked);
}

void SqlitePool::Discard(const Parked& p) {
  SQLDisconnect(p.dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, p.dbc);
}

bool SqlitePool::StillValid(const Parked& p, const std::string& path, struct stat* now) const {
  if (std::chrono::steady_clock::now() - p.since >= idle_limit_) return false;
  return stat(path.c_str(), now) == 0 && now->st_dev == p.device && now->st_ino == p.inode;
}

SQLHDBC SqlitePool::Acquire(const std::string& odbc, const std::string& path, struct stat* file) {
  auto range = parked_.equal_range(odbc);
  for (auto it = range.first; it != range.second;) {
    const Parked p = it->second;
    it = parked_.erase(it);
    if (StillValid(p, path, file)) return p.dbc;
    Discard(p);
  }
  return SQL_NULL_HDBC;
}

bool SqlitePool::Release(const std::string& odbc, const std::string& path, SQLHDBC dbc,
                         dev_t device, ino_t inode) {
  if (idle_limit_.count() <= 0 || parked_.count(odbc) >= max_idle_) return false;
  // No descriptor of our own is opened on the file: closing one would drop the POSIX locks that
  // SQLite holds through its connection (they belong to the process), and another process could
  // then checkpoint and remove the write-ahead log under the parked connection. The parked
  // connection itself keeps the file open, so its inode cannot be reused meanwhile.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || st.st_dev != device || st.st_ino != inode) return false;
  parked_.emplace(odbc, Parked{dbc, st.st_dev, st.st_ino, std::chrono::steady_clock::now()});
  return true;
}

}  // namespace quorlan
