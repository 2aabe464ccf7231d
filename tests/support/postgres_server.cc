#include "support/postgres_server.h"

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "storage/internal.h"
#include "support/process.h"

namespace quorlan::testing {
namespace {

constexpr const char* kBin = "/usr/lib/postgresql/15/bin";
constexpr const char* kOwner = "postgres";

bool AsRoot() { return ::geteuid() == 0; }

std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A TCP port on 127.0.0.1 that was free a moment ago (a start on a port taken meanwhile fails at
// once and is tried again on another).
int FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  if (port == 0) throw std::runtime_error("no free TCP port on 127.0.0.1");
  return port;
}

}  // namespace

std::string PostgresServer::Unavailable() {
  if (::access((std::string(kBin) + "/initdb").c_str(), X_OK) != 0) {
    return std::string("PostgreSQL 15 is not installed (postgresql-15): no ") + kBin + "/initdb";
  }
  if (AsRoot() && ::getpwnam(kOwner) == nullptr) {
    return "no user postgres to run a PostgreSQL server as (root may not)";
  }
  const std::vector<std::string> drivers = RegisteredOdbcDrivers();
  if (std::find(drivers.begin(), drivers.end(), "PostgreSQL Unicode") == drivers.end()) {
    return "the ODBC driver \"PostgreSQL Unicode\" is not registered (odbc-postgresql)";
  }
  return "";
}

PostgresServer::PostgresServer() {
  ::chmod(dir_.path().c_str(), 0755);  // the server's user reaches its folders through it
  data_ = dir_.MakeDir("data");
  socket_ = dir_.MakeDir("sock");
  if (AsRoot()) {
    const passwd* owner = ::getpwnam(kOwner);
    if (owner == nullptr || ::chown(data_.c_str(), owner->pw_uid, owner->pw_gid) != 0 ||
        ::chown(socket_.c_str(), owner->pw_uid, owner->pw_gid) != 0) {
      throw std::runtime_error("cannot give the server's folders to the user postgres");
    }
  }
  ::chmod(data_.c_str(), 0700);
  RunAsOwner("initdb", std::string(kBin) + "/initdb -N -D " + data_ +
                           " -A trust -U postgres -E UTF8 --locale=C.UTF-8");
  for (int attempt = 1;; ++attempt) {
    port_ = FreeTcpPort();
    try {
      Start();
      break;
    } catch (const std::runtime_error&) {
      if (attempt == 5) throw;
    }
  }
  Sql({"CREATE DATABASE quorlan"}, "postgres");
}

PostgresServer::~PostgresServer() {
  try {
    if (running_) Stop("immediate");
  } catch (const std::exception&) {
    // The folder goes anyway; a server left running ends when it finds its files gone.
  }
}

std::string PostgresServer::ConnectionString(const std::string& user,
                                             const std::string& database) const {
  return "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=" + std::to_string(port_) +
         ";Database=" + database + ";Uid=" + user;
}

std::string PostgresServer::Sql(const std::vector<std::string>& statements,
                                const std::string& database) const {
  std::string command = "psql -X -q -A -t -F '|' -v ON_ERROR_STOP=1 -h " + socket_ + " -p " +
                        std::to_string(port_) + " -U postgres -d " + database;
  for (const std::string& sql : statements) command += " -c " + ShellQuoted(sql);
  const ProcessResult r = RunCommand(dir_.path(), command);
  if (r.status != 0) throw std::runtime_error("psql: " + r.err);
  std::string out = r.out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void PostgresServer::Stop(const std::string& mode) {
  RunAsOwner("stop", std::string(kBin) + "/pg_ctl -D " + data_ + " -w -m " + mode + " stop");
  running_ = false;
}

void PostgresServer::Start() {
  // The options again: only a restart reads those of the last start (postmaster.opts).
  RunAsOwner("start", std::string(kBin) + "/pg_ctl -D " + data_ + " -l " + data_ +
                          "/server.log -w -t 60 -o " +
                          ShellQuoted("-p " + std::to_string(port_) + " -k " + socket_ +
                                      " -c listen_addresses=127.0.0.1 -c fsync=off") +
                          " start");
  running_ = true;
}

void PostgresServer::Restart(const std::string& mode) {
  RunAsOwner("restart", std::string(kBin) + "/pg_ctl -D " + data_ + " -l " + data_ +
                            "/server.log -w -t 60 -m " + mode + " restart");
  running_ = true;
}

void PostgresServer::RequirePasswords() {
  // Written in place: the file keeps its owner.
  std::ofstream(data_ + "/pg_hba.conf", std::ios::trunc)
      << "local all all trust\n"
         "host all postgres 127.0.0.1/32 trust\n"
         "host all all 127.0.0.1/32 scram-sha-256\n";
  Sql({"SELECT pg_reload_conf()"});
}

std::string PostgresServer::Log() const {
  std::ifstream in(data_ + "/server.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void PostgresServer::RunAsOwner(const std::string& what, const std::string& command) const {
  const ProcessResult r = RunCommand(
      dir_.path(), (AsRoot() ? std::string("runuser -u ") + kOwner + " -- " : "") + command);
  if (r.status != 0) {
    throw std::runtime_error("PostgreSQL " + what + " failed: " + r.out + r.err + Log());
  }
}

}  // namespace quorlan::testing
