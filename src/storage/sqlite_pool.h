// Idle SQLite connections kept open between operations.
//
// Every operation opens and closes its own connection; for SQLite files the physical connection
// costs more than most statements, so a closed connection is parked here and handed to the next
// open with the same connection string. A parked connection is used again only while it has been
// idle less than the idle limit and the file at its path is still the file it opened: the parked
// connection keeps the file open, so its inode cannot be reused, and a file deleted, replaced or
// moved away is recognised by a changed device or inode. A connection on which a driver call
// failed is never parked.
// Not thread-safe.
#pragma once

#include <sql.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>

namespace quorlan {

class SqlitePool {
 public:
  SqlitePool(int idle_limit_seconds, size_t max_idle_per_string)
      : idle_limit_(idle_limit_seconds), max_idle_(max_idle_per_string) {}
  ~SqlitePool();
  SqlitePool(const SqlitePool&) = delete;
  SqlitePool& operator=(const SqlitePool&) = delete;

  // A parked connection for the ODBC string whose database file is path, or SQL_NULL_HDBC. With
  // a connection, *file is the file's status as read to check it (the caller need not read it
  // again).
  SQLHDBC Acquire(const std::string& odbc, const std::string& path, struct stat* file);
  // Parks an open connection with no statements; device and inode identify the file it opened.
  // Returns false (the caller then disconnects it) when it cannot be parked, for instance because
  // the file at path is no longer that file.
  bool Release(const std::string& odbc, const std::string& path, SQLHDBC dbc, dev_t device,
               ino_t inode);

 private:
  struct Parked {
    SQLHDBC dbc;
    dev_t device;
    ino_t inode;
    std::chrono::steady_clock::time_point since;
  };
  static void Discard(const Parked& p);
  bool StillValid(const Parked& p, const std::string& path, struct stat* now) const;

  std::chrono::seconds idle_limit_;
  size_t max_idle_;
  std::multimap<std::string, Parked> parked_;
};

}  // namespace quorlan
