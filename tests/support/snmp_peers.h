// net-snmp peers for tests: a private snmpd with scriptable values, a private snmptrapd that logs
// every trap on one line, and the command-line clients run while an event loop keeps serving.
//
// Everything listens on 127.0.0.1 on ports chosen at run time. Each peer runs in its own process
// group in a private temporary folder and is stopped (TERM, then KILL) and reaped when its object
// is destroyed. Works as root and without systemd.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "support/temp_dir.h"

namespace quorlan::testing {

// A UDP port on 127.0.0.1 that was free a moment ago. It lies in 20000..32767, below the
// kernel's ephemeral range (so no client socket takes it meanwhile) and within the 16-bit port
// fields of the trend list.
int FreeUdpPort();
// True when a socket is bound to udp 127.0.0.1:port or 0.0.0.0:port (from /proc/net/udp).
bool UdpPortBound(int port);

// A child process in its own process group; output (stdout and stderr) goes to output_file. Its
// environment is this process's with extra_env ("NAME=value") set on top.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
               const std::string& output_file);
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // True once the process has ended; exit_code() is then its exit status (128 + signal when
  // killed).
  bool Exited();
  int exit_code() const { return exit_code_; }
  // TERM to the group (and CONT, so that a stopped group receives it), up to 3 s for it to end,
  // then KILL. Idempotent.
  void Stop();
  // Sends a signal to the whole process group.
  void Signal(int signal);

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;
};

struct CommandResult {
  int exit_code = -1;  // -1: killed at the time-out
  std::string output;  // stdout and stderr
};

// Runs a net-snmp client (or any program) to completion. While it runs, loop (if not null) keeps
// delivering events, so the client can talk to components of this process. The client gets a
// private SNMP_PERSISTENT_DIR.
CommandResult RunCommand(EventLoop* loop, const std::vector<std::string>& argv,
                         int timeout_ms = 10000);

// snmpd on 127.0.0.1 with communities "public" (read) and "private" (write). The subtree
// .1.3.6.1.4.1.32473.2 is served by a pass_persist script from a values file with lines
// "<.numeric.oid> <type> <value>", type one of integer, gauge, counter, counter64, timeticks,
// ipaddress, objectid, string, octet (hex bytes). OIDs outside every registered subtree
// (e.g. .1.3.6.1.4.1.32473.9) give noSuchObject.
//
// With v3_users, snmpd also has the engine id "trendtest" (kSnmpdEngineId) and these SNMPv3 users,
// each with read access to everything, authentication password "authpass123" and privacy
// password "privpass123": noauthuser (noAuthNoPriv); md5user, shauser, sha256user, sha512user
// (authNoPriv with MD5, SHA, SHA-256, SHA-512); md5des (MD5+DES), shaaes (SHA+AES-128),
// shaaes192 and shaaes256 (SHA with net-snmp's AES-192/AES-256, the Blumenthal key extension),
// sha512aes256 (SHA-512+AES-256). sysLocation.0 is "testlab".
inline constexpr const char* kSnmpdEngineId = "\x80\x00\x1f\x88\x04trendtest";

class SnmpdPeer {
 public:
  // Starts snmpd and waits until it listens; throws std::runtime_error when it cannot.
  explicit SnmpdPeer(const std::string& values = "", bool v3_users = false);
  ~SnmpdPeer() = default;

  int port() const { return port_; }
  // Replaces the values file atomically; the next request sees the new values.
  void SetValues(const std::string& lines);
  // Stops snmpd with SIGSTOP: requests queue up unanswered (a device that does not answer) until
  // Resume, after which snmpd answers the queued ones.
  void Pause() { process_->Signal(SIGSTOP); }
  void Resume() { process_->Signal(SIGCONT); }
  std::string Log() const;

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// A pysnmp 4 command responder (Debian's python3-pysnmp4, run by /usr/bin/python3) on 127.0.0.1,
// the independent SNMPv3 peer for 3DES-EDE, which net-snmp lacks. Engine id kPysnmpEngineId, boots
// 1, sysLocation.0 "testlab", community "public". Users are named "<auth>-<priv>" with auth one of
// md5, sha, sha224, sha256, sha384, sha512 and priv one of none, des, 3des, aes128, aes192b,
// aes256b (Blumenthal key extension), aes192r, aes256r (Reeder); plus "noauth". Passwords as for
// snmpd. The script is tests/support/pysnmp_agent.py.
inline constexpr const char* kPysnmpEngineId = "\x80\x00\x4f\xb8\x04pysnmppeer";

class PysnmpPeer {
 public:
  // Empty when pysnmp can be run here, else why not (for a test's skip message).
  static std::string Unavailable();
  // Starts the agent with the given users (comma-separated) and waits until it answers; throws
  // std::runtime_error when it cannot.
  explicit PysnmpPeer(const std::string& users);
  ~PysnmpPeer() = default;

  int port() const { return port_; }
  std::string Log() const;

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// snmptrapd on 127.0.0.1 accepting traps of any community. Each SNMPv1 trap becomes one log line
// "V1<TAB>agent-addr<TAB>community<TAB>enterprise<TAB>generic<TAB>.specific<TAB>uptime<TAB>
// <oid = TYPE: value> joined by tabs".
class SnmptrapdPeer {
 public:
  SnmptrapdPeer();
  ~SnmptrapdPeer() = default;

  int port() const { return port_; }
  // The trap lines logged so far.
  std::vector<std::string> Traps() const;
  // Waits up to timeout_ms for at least n trap lines, delivering loop events meanwhile.
  std::vector<std::string> WaitForTraps(EventLoop* loop, size_t n, int timeout_ms = 5000) const;
  std::string Log() const;

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace quorlan::testing
