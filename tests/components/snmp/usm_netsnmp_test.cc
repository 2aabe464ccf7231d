// Our USM against a live net-snmp: snmpd on a free loopback port with users of the protocol pairs
// the stored captures lack, and snmpget -d as the manager whose packets we read. Every request and
// response must verify and decrypt with our keys, and our encryption with snmpget's salt must give
// snmpget's ciphertext.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "components/snmp/usm.h"
#include "support/ci.h"
#include "support/snmpv3_capture.h"
#include "support/temp_dir.h"

extern char** environ;

namespace quorlan::usm {
namespace {

using ::quorlan::testing::CapturedUser;
using ::quorlan::testing::CheckCapturedMessage;
using ::quorlan::testing::FromHex;
using ::quorlan::testing::ScopedPduFields;
using ::quorlan::testing::TempDir;
using ::quorlan::testing::WalkScopedPdu;

const Bytes kEngine = FromHex("80001f88047472656e6474657374");  // engineID trendtest

struct PeerUser {
  const char* auth_option;  // snmpget -a / createUser
  const char* priv_option;  // snmpget -x / createUser, nullptr for authNoPriv
  CapturedUser user;
};

const PeerUser kUsers[] = {
    {"MD5", "DES", {"md5des", AuthProtocol::kHmacMd5, PrivProtocol::kDes, kEngine}},
    {"MD5", "AES", {"md5aes", AuthProtocol::kHmacMd5, PrivProtocol::kAes128, kEngine}},
    {"SHA", "AES-192", {"shaaes192", AuthProtocol::kHmacSha, PrivProtocol::kAes192, kEngine}},
    {"MD5", "AES-192", {"md5aes192", AuthProtocol::kHmacMd5, PrivProtocol::kAes192, kEngine}},
    {"MD5", "AES-256", {"md5aes256", AuthProtocol::kHmacMd5, PrivProtocol::kAes256, kEngine}},
    {"SHA-256",
     "AES-192",
     {"sha256aes192", AuthProtocol::kHmac192Sha256, PrivProtocol::kAes192, kEngine}},
    {"SHA-512", "DES", {"sha512des", AuthProtocol::kHmac384Sha512, PrivProtocol::kDes, kEngine}},
    {"SHA-256", nullptr, {"sha256user", AuthProtocol::kHmac192Sha256, std::nullopt, kEngine}},
    {"SHA-512", nullptr, {"sha512user", AuthProtocol::kHmac384Sha512, std::nullopt, kEngine}},
};

// A UDP port on 127.0.0.1 that was free a moment ago.
int FreeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

// snmpd with a private configuration and persistent folder, stopped (SIGTERM, then waited for)
// when the object goes.
class NetSnmpAgent {
 public:
  explicit NetSnmpAgent(const TempDir& dir) : dir_(dir) {
    dir_.MakeDir("conf");
    dir_.MakeDir("persist");
    std::string rousers;
    std::string create;
    for (const PeerUser& u : kUsers) {
      rousers += "rouser " + u.user.name + (u.priv_option ? " priv\n" : " auth\n");
      create += "createUser " + u.user.name + " " + u.auth_option + " authpass123";
      create += u.priv_option ? std::string(" ") + u.priv_option + " privpass123\n" : "\n";
    }
    dir_.Write("persist/snmpd.conf", create);
    // A port taken between the probe and snmpd's bind makes snmpd exit: try another.
    for (int attempt = 0; attempt < 3 && pid_ == 0; ++attempt) {
      port_ = FreeUdpPort();
      dir_.Write("conf/snmpd.conf", "agentAddress udp:127.0.0.1:" + std::to_string(port_) +
                                        "\nengineID trendtest\ndontLogTCPWrappersConnects yes\n" +
                                        rousers + "sysLocation testlab\n");
      Start();
    }
  }
  ~NetSnmpAgent() {
    if (pid_ > 0) Stop(pid_);
  }
  bool running() const { return pid_ > 0; }
  int port() const { return port_; }
  std::string log() const { return dir_.Read("snmpd.log"); }

 private:
  void Start() {
    std::string confpath = "SNMPCONFPATH=" + dir_.File("conf") + ":" + dir_.File("persist");
    std::string persist = "SNMP_PERSISTENT_DIR=" + dir_.File("persist");
    std::vector<std::string> env_text = {confpath, persist};
    std::vector<char*> env;
    for (std::string& e : env_text) env.push_back(e.data());
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(nullptr);
    std::vector<std::string> args = {"snmpd", "-f", "-Lf", dir_.File("snmpd.log"), "-m", ""};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    const int rc = posix_spawnp(&pid, "snmpd", nullptr, &attr, argv.data(), env.data());
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return;
    // Ready once it logs its version, which it does after binding; gone if the bind failed.
    for (int i = 0; i < 500; ++i) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;
      if (std::filesystem::exists(dir_.File("snmpd.log")) &&
          dir_.Read("snmpd.log").find("NET-SNMP version") != std::string::npos) {
        pid_ = pid;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop(pid);
  }
  // SIGTERM, then SIGKILL when snmpd has not ended within 5 seconds.
  static void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }

  const TempDir& dir_;
  pid_t pid_ = 0;
  int port_ = 0;
};

// Runs a command and returns what it wrote (stdout and stderr).
std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  pclose(pipe);
  return output;
}

// The packets of snmpget -d's dump, in order, each marked as sent or received.
struct Packet {
  bool sent;
  Bytes bytes;
};

std::vector<Packet> ParseDump(const std::string& output) {
  std::vector<Packet> packets;
  std::istringstream in(output);
  size_t expected = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Sending ", 0) == 0 || line.rfind("Received ", 0) == 0) {
      expected = std::stoul(line.substr(line.find(' ') + 1));
      packets.push_back({line[0] == 'S', {}});
      continue;
    }
    // "0016: FF E3 04 01  04 02 01 03  ...    ascii": up to 16 hex bytes after the offset.
    if (packets.empty() || line.size() < 6 || line[4] != ':') continue;
    std::istringstream fields(line.substr(5));
    Bytes& bytes = packets.back().bytes;
    size_t on_line = std::min<size_t>(16, expected - std::min(expected, bytes.size()));
    std::string hex;
    for (size_t i = 0; i < on_line && fields >> hex; ++i) bytes.push_back(FromHex(hex).at(0));
  }
  return packets;
}

TEST(UsmNetSnmpTest, LiveRequestsAndResponsesVerifyAndDecrypt) {
  if (RunCommand("command -v snmpd && command -v snmpget").find("snmpget") == std::string::npos) {
    SKIP_OR_FAIL_UNDER_CI(std::string("net-snmp's snmpd and snmpget are not installed"));
  }
  TempDir dir;
  NetSnmpAgent agent(dir);
  ASSERT_TRUE(agent.running()) << "snmpd did not start: " << agent.log();
  dir.MakeDir("client");
  for (const PeerUser& u : kUsers) {
    SCOPED_TRACE(u.user.name);
    std::string command = "SNMP_PERSISTENT_DIR=" + dir.File("client") + " snmpget -v3 -d -On " +
                          "-t 1 -r 2 -u " + u.user.name + " -a " + u.auth_option +
                          " -A authpass123 ";
    command += u.priv_option ? std::string("-l authPriv -x ") + u.priv_option + " -X privpass123 "
                             : std::string("-l authNoPriv ");
    command += "127.0.0.1:" + std::to_string(agent.port()) + " 1.3.6.1.2.1.1.6.0";
    std::string output = RunCommand(command);
    ASSERT_NE(output.find("STRING: \"testlab\""), std::string::npos) << output;
    std::vector<Packet> packets = ParseDump(output);
    // Probe, Report, then the authenticated request and its response (the last of each).
    ASSERT_GE(packets.size(), 4u) << output;
    const Packet* request = nullptr;
    const Packet* response = nullptr;
    for (const Packet& p : packets) (p.sent ? request : response) = &p;
    ASSERT_TRUE(request && response);
    ScopedPduFields get = WalkScopedPdu(CheckCapturedMessage(u.user, request->bytes));
    ScopedPduFields answer = WalkScopedPdu(CheckCapturedMessage(u.user, response->bytes));
    EXPECT_EQ(get.pdu_tag, 0xA0);
    EXPECT_EQ(answer.pdu_tag, 0xA2);
    EXPECT_EQ(answer.request_id, get.request_id);
    ASSERT_EQ(answer.values.size(), 1u);
    EXPECT_EQ(std::string(answer.values[0].begin(), answer.values[0].end()), "testlab");
  }
}

}  // namespace
}  // namespace quorlan::usm
