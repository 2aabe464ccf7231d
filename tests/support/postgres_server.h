// A private PostgreSQL 15 server for tests (Debian's postgresql-15 and odbc-postgresql): initdb in
// a temporary folder, run as the unprivileged user postgres when the test runs as root (which
// PostgreSQL refuses), listening on 127.0.0.1 on a port of its own and on a socket folder of its
// own, without fsync (a test's data need not survive the machine). The superuser "postgres" logs in
// without a password; RequirePasswords makes every other role give one over TCP. The database
// "quorlan" exists from the start. The server is stopped and its folder removed with the object.
#pragma once

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quorlan::testing {

class PostgresServer {
 public:
  // Empty when a server can be started here, else why not (for SKIP_OR_FAIL_UNDER_CI).
  static std::string Unavailable();

  // initdb, start and CREATE DATABASE quorlan; throws std::runtime_error naming the step that
  // failed, with the server's log.
  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  int port() const { return port_; }
  // "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=<port>;Database=<database>;Uid=<user>".
  std::string ConnectionString(const std::string& user = "postgres",
                               const std::string& database = "quorlan") const;

  // Runs each statement in turn as the superuser through psql (stopping at the first error) and
  // returns what they printed, rows one a line, fields separated by '|'. Throws
  // std::runtime_error with psql's message when a statement fails.
  std::string Sql(const std::vector<std::string>& statements,
                  const std::string& database = "quorlan") const;
  // The single value a query printed.
  std::string Value(const std::string& query) const { return Sql({query}); }

  // pg_ctl stop (mode "fast": sessions end at once; "immediate": as a crash), start, restart.
  void Stop(const std::string& mode = "fast");
  void Start();
  void Restart(const std::string& mode = "fast");
  // Password authentication (SCRAM) for every role but postgres over TCP, from now on.
  void RequirePasswords();

  std::string Log() const;

 private:
  // Runs a program of PostgreSQL's bin folder as the server's user; throws on failure.
  void RunAsOwner(const std::string& what, const std::string& command) const;

  TempDir dir_;
  std::string data_;
  std::string socket_;
  int port_ = 0;
  bool running_ = false;
};

}  // namespace quorlan::testing
