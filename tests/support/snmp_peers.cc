#include "support/snmp_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quorlan::testing {
namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Sleep(int ms) { std::this_thread::sleep_for(Ms(ms)); }

// Waits until port is bound or the process has ended; false when it did not come up.
bool WaitForListener(ChildProcess& p, int port, int timeout_ms) {
  const auto deadline = SteadyClock::now() + Ms(timeout_ms);
  while (SteadyClock::now() < deadline) {
    if (UdpPortBound(port)) return true;
    if (p.Exited()) return false;
    Sleep(10);
  }
  return false;
}

// The client state folder shared by every client this test process runs.
const std::string& ClientStateDir() {
  static TempDir dir;  // removed at exit
  // Created here so that the clients do not announce creating them.
  static const bool made = (dir.MakeDir("cert_indexes"), dir.MakeDir("mib_indexes"), true);
  (void)made;
  return dir.path();
}

constexpr const char* kPassPersistScript = R"(#!/bin/sh
# pass_persist helper: serves the values file for get and getnext, refuses set.
V='@VALUES@'
A='@AWK@'
while read -r cmd; do
  case "$cmd" in
    PING) echo PONG ;;
    get) read -r oid; awk -v o="$oid" -v mode=get -f "$A" "$V" ;;
    getnext) read -r oid; awk -v o="$oid" -v mode=getnext -f "$A" "$V" ;;
    set) read -r oid; read -r val; echo not-writable ;;
    *) echo NONE ;;
  esac
done
)";

constexpr const char* kPassPersistAwk = R"(
function cmp(a, b,    x, y, n, m, i) {
  n = split(a, x, "."); m = split(b, y, ".")
  for (i = 2; i <= n && i <= m; i++) {
    if (x[i] + 0 < y[i] + 0) return -1
    if (x[i] + 0 > y[i] + 0) return 1
  }
  return n < m ? -1 : (n > m ? 1 : 0)
}
{
  v = $0; sub(/^[^ ]+ [^ ]+ ?/, "", v)
  if (mode == "get" && $1 == o) { print $1; print $2; print v; found = 1; exit }
  if (mode == "getnext" && cmp($1, o) > 0 && (best == "" || cmp($1, best) < 0)) {
    best = $1; bt = $2; bv = v
  }
}
END {
  if (found) exit
  if (mode == "getnext" && best != "") { print best; print bt; print bv } else print "NONE"
}
)";

}  // namespace

int FreeUdpPort() {
  constexpr int kLow = 20000;
  constexpr int kCount = 32768 - kLow;
  static std::mt19937 random(std::random_device{}());
  const int start = static_cast<int>(random() % kCount);
  for (int i = 0; i < kCount; ++i) {
    const int port = kLow + (start + i) % kCount;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) break;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (bound && !UdpPortBound(port)) return port;
  }
  throw std::runtime_error("FreeUdpPort: no free port in 20000..32767");
}

bool UdpPortBound(int port) {
  std::ifstream in("/proc/net/udp");
  std::string line;
  const std::string loopback = fmt::format("0100007F:{:04X}", port);
  const std::string any = fmt::format("00000000:{:04X}", port);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    if (local == loopback || local == any) return true;
  }
  return false;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env,
                           const std::string& output_file) {
  // The inherited environment without the variables extra_env sets (the first of a name wins).
  const auto set_here = [&extra_env](const char* inherited) {
    for (const std::string& e : extra_env) {
      const size_t name = e.find('=') + 1;
      if (std::strncmp(inherited, e.c_str(), name) == 0) return true;
    }
    return false;
  };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!set_here(*e)) env.emplace_back(*e);
  }
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> cargv, cenv;
  for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cargv.push_back(nullptr);
  cenv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // In the folder of its output: the test process may stand in a folder already removed (the
  // service's start changes into its installation folder), where snmpd's scripts fail.
  const std::string folder = output_file.substr(0, output_file.rfind('/') + 1);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Own process group, no signal blocked (a test may have blocked the service signals).
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attr, 0);
  const int rc = posix_spawnp(&pid_, cargv[0], &actions, &attr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

bool ChildProcess::Exited() {
  if (exited_) return true;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  exited_ = true;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0 || Exited()) return;
  kill(-pid_, SIGTERM);
  kill(-pid_, SIGCONT);
  const auto deadline = SteadyClock::now() + Ms(3000);
  while (!Exited() && SteadyClock::now() < deadline) Sleep(5);
  kill(-pid_, SIGKILL);
  if (!exited_) {
    int status = 0;
    waitpid(pid_, &status, 0);
    exited_ = true;
  }
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !Exited()) kill(-pid_, signal);
}

CommandResult RunCommand(EventLoop* loop, const std::vector<std::string>& argv, int timeout_ms) {
  TempDir out;
  ChildProcess p(argv, {"SNMP_PERSISTENT_DIR=" + ClientStateDir()}, out.File("output"));
  const auto deadline = SteadyClock::now() + Ms(timeout_ms);
  while (!p.Exited() && SteadyClock::now() < deadline) {
    if (loop != nullptr) {
      loop->RunOnce(5);
    } else {
      Sleep(5);
    }
  }
  CommandResult r;
  if (!p.Exited()) p.Stop();
  r.exit_code = p.Exited() && p.exit_code() < 128 ? p.exit_code() : -1;
  r.output = out.Read("output");
  return r;
}

constexpr const char* kSnmpdUsers = R"(engineID trendtest
sysLocation testlab
rouser noauthuser noauth
rouser md5user auth
rouser shauser auth
rouser sha256user auth
rouser sha512user auth
rouser md5des priv
rouser shaaes priv
rouser shaaes192 priv
rouser shaaes256 priv
rouser sha512aes256 priv
createUser noauthuser
createUser md5user MD5 authpass123
createUser shauser SHA authpass123
createUser sha256user SHA-256 authpass123
createUser sha512user SHA-512 authpass123
createUser md5des MD5 authpass123 DES privpass123
createUser shaaes SHA authpass123 AES privpass123
createUser shaaes192 SHA authpass123 AES-192 privpass123
createUser shaaes256 SHA authpass123 AES-256 privpass123
createUser sha512aes256 SHA-512 authpass123 AES-256 privpass123
)";

SnmpdPeer::SnmpdPeer(const std::string& values, bool v3_users) {
  std::string script = kPassPersistScript;
  script.replace(script.find("@VALUES@"), 8, dir_.File("values"));
  script.replace(script.find("@AWK@"), 5, dir_.File("pp.awk"));
  dir_.Write("pp.sh", script);
  dir_.Write("pp.awk", kPassPersistAwk);
  std::filesystem::permissions(dir_.File("pp.sh"), std::filesystem::perms::owner_all);
  SetValues(values);
  for (int attempt = 0; attempt < 3 && process_ == nullptr; ++attempt) {
    port_ = FreeUdpPort();
    dir_.Write("snmpd.conf", fmt::format("agentAddress udp:127.0.0.1:{}\n"
                                         "dontLogTCPWrappersConnects yes\n"
                                         "rocommunity public 127.0.0.1\n"
                                         "rwcommunity private 127.0.0.1\n"
                                         "pass_persist .1.3.6.1.4.1.32473.2 {}\n{}",
                                         port_, dir_.File("pp.sh"), v3_users ? kSnmpdUsers : ""));
    auto p = std::make_unique<ChildProcess>(
        std::vector<std::string>{"snmpd", "-f", "-C", "-c", dir_.File("snmpd.conf"), "-Lf",
                                 dir_.File("snmpd.log"), "-p", dir_.File("snmpd.pid"), "-m", ""},
        std::vector<std::string>{"SNMP_PERSISTENT_DIR=" + dir_.MakeDir("persist")},
        dir_.File("stdout"));
    if (WaitForListener(*p, port_, 5000)) process_ = std::move(p);
  }
  if (process_ == nullptr) throw std::runtime_error("snmpd did not start: " + Log());
}

void SnmpdPeer::SetValues(const std::string& lines) {
  dir_.Write("values.tmp", lines);
  std::filesystem::rename(dir_.File("values.tmp"), dir_.File("values"));
}

std::string SnmpdPeer::Log() const {
  return ReadFile(dir_.File("snmpd.log")) + ReadFile(dir_.File("stdout"));
}

std::string PysnmpPeer::Unavailable() {
  static const std::string why = [] {
    if (!std::filesystem::exists("/usr/bin/python3")) return std::string("no /usr/bin/python3");
    const CommandResult r =
        RunCommand(nullptr, {"/usr/bin/python3", "-c", "import pysnmp.entity.config"}, 20000);
    if (r.exit_code != 0) return "pysnmp is not installed for /usr/bin/python3: " + r.output;
    return std::string();
  }();
  return why;
}

PysnmpPeer::PysnmpPeer(const std::string& users) {
  const std::string script = QUORLAN_SOURCE_DIR "/tests/support/pysnmp_agent.py";
  for (int attempt = 0; attempt < 3 && process_ == nullptr; ++attempt) {
    port_ = FreeUdpPort();
    auto p = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/python3", script, "--port", std::to_string(port_),
                                 "--users", users},
        std::vector<std::string>{}, dir_.File("agent.log"));
    const auto deadline = SteadyClock::now() + Ms(15000);
    while (SteadyClock::now() < deadline && !p->Exited() &&
           ReadFile(dir_.File("agent.log")).find("READY") == std::string::npos) {
      Sleep(10);
    }
    if (!p->Exited() && UdpPortBound(port_)) process_ = std::move(p);
  }
  if (process_ == nullptr) throw std::runtime_error("pysnmp agent did not start: " + Log());
}

std::string PysnmpPeer::Log() const { return ReadFile(dir_.File("agent.log")); }

SnmptrapdPeer::SnmptrapdPeer() {
  for (int attempt = 0; attempt < 3 && process_ == nullptr; ++attempt) {
    port_ = FreeUdpPort();
    dir_.Write("snmptrapd.conf", fmt::format("snmpTrapdAddr udp:127.0.0.1:{}\n"
                                             "disableAuthorization yes\n"
                                             "doNotRetainNotificationLogs yes\n"
                                             "format1 V1\\t%a\\t%u\\t%N\\t%w\\t%q\\t%T\\t%v\\n\n"
                                             "format2 V2\\t%b\\t%u\\t%T\\t%v\\n\n",
                                             port_));
    auto p = std::make_unique<ChildProcess>(
        std::vector<std::string>{"snmptrapd", "-f", "-C", "-c", dir_.File("snmptrapd.conf"), "-Lf",
                                 dir_.File("traps.log"), "-p", dir_.File("snmptrapd.pid"), "-m", "",
                                 "-n", "-On"},
        std::vector<std::string>{"SNMP_PERSISTENT_DIR=" + dir_.MakeDir("persist")},
        dir_.File("stdout"));
    if (WaitForListener(*p, port_, 5000)) process_ = std::move(p);
  }
  if (process_ == nullptr) throw std::runtime_error("snmptrapd did not start: " + Log());
}

std::vector<std::string> SnmptrapdPeer::Traps() const {
  std::vector<std::string> traps;
  std::istringstream in(ReadFile(dir_.File("traps.log")));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("V1\t", 0) == 0 || line.rfind("V2\t", 0) == 0) traps.push_back(line);
  }
  return traps;
}

std::vector<std::string> SnmptrapdPeer::WaitForTraps(EventLoop* loop, size_t n,
                                                     int timeout_ms) const {
  const auto deadline = SteadyClock::now() + Ms(timeout_ms);
  std::vector<std::string> traps = Traps();
  while (traps.size() < n && SteadyClock::now() < deadline) {
    if (loop != nullptr) {
      loop->RunOnce(10);
    } else {
      Sleep(10);
    }
    traps = Traps();
  }
  return traps;
}

std::string SnmptrapdPeer::Log() const {
  return ReadFile(dir_.File("traps.log")) + ReadFile(dir_.File("stdout"));
}

}  // namespace quorlan::testing
