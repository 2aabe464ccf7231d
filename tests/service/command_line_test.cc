// The service executable as an operator runs it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "storage/storage.h"
#include "support/event_log.h"
#include "support/process.h"
#include "support/snmp_peers.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::ReadEventLog;
using testing::RunCommand;
using testing::TempDir;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class CommandLineTest : public ::testing::Test {
 protected:
  CommandLineTest() {
    dir_.MakeDir("Debug");
    units_ = dir_.MakeDir("units");
    std::filesystem::copy_file(testing::BuiltExecutable("quorlan-trend"), Exe());
  }
  std::string Exe() const { return dir_.File("quorlan-trend"); }
  testing::ProcessResult Run(const std::string& args) {
    return RunCommand(dir_.path(), "QUORLAN_UNIT_DIR='" + units_ + "' ./quorlan-trend " + args);
  }
  std::string Unit() const { return units_ + "/quorlan-trend.service"; }

  TempDir dir_;
  std::string units_;
};

TEST_F(CommandLineTest, RefusesUnknownOptions) {
  for (const char* args : {"-Install", "x"}) {
    const auto r = Run(args);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "Invalid command option\n");
  }
  EXPECT_FALSE(std::filesystem::exists(Unit()));
}

TEST_F(CommandLineTest, InstallWithoutSettingsDatabaseWritesNothing) {
  const auto r = Run("-install");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out + r.err, "Quorlan.mdb does not exits\n");
  EXPECT_FALSE(std::filesystem::exists(Unit()));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Debug/T-AppEvent.txt")));
}

TEST_F(CommandLineTest, InstallAndUninstallTheSystemdUnit) {
  dir_.Write("Quorlan.mdb", "");
  auto r = Run("-install");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Quorlan Trend Reporting Service Installed Successfully\n");
  const std::string unit = dir_.Read("units/quorlan-trend.service");
  EXPECT_NE(unit.find("Description=Quorlan Trend Reporting\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"" + Exe() + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("Restart=on-failure\n"), std::string::npos);
  auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "3");
  EXPECT_EQ(events[0].source, "frmQuorlanTrend_Form_Load");
  EXPECT_EQ(events[0].message, "Service Installed");
  EXPECT_EQ(events[0].time_stamp.size(), 23u);

  r = Run("-uninstall");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Quorlan Trend Reporting Service Uninstalled Successfully\n");
  EXPECT_FALSE(std::filesystem::exists(Unit()));
  events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].message, "Service Uninstalled");

  r = Run("-install_noMsg");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_TRUE(std::filesystem::exists(Unit()));
}

TEST_F(CommandLineTest, UninstallOfAMissingUnitFails) {
  const auto r = Run("-uninstall");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err, "Quorlan Trend Reporting Service Failed To Uninstall\n");
  const auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
}

// A systemd notification socket of the test's own.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifySocket() { close(fd_); }
  // The next notification, or "" after 10 seconds without one.
  std::string Receive() {
    char buf[512];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_;
};

TEST_F(CommandLineTest, ServiceModeStopsOnSigtermAndRefusesASecondCopy) {
  dir_.Write("Quorlan.mdb", "");
  NotifySocket notify(dir_.File("notify.sock"));
  const std::string env_notify = "NOTIFY_SOCKET=" + dir_.File("notify.sock");
  char* envp[] = {const_cast<char*>(env_notify.c_str()), nullptr};
  pid_t pid;
  char* argv[] = {const_cast<char*>("quorlan-trend"), nullptr};
  ASSERT_EQ(posix_spawn(&pid, Exe().c_str(), nullptr, nullptr, argv, envp), 0);
  EXPECT_EQ(notify.Receive(), "READY=1") << "ready once the start has been handled";
  // Wait until the start has been handled (its event is logged).
  for (int i = 0; i < 200 && ReadEventLog(dir_.path()).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const size_t logged = ReadEventLog(dir_.path()).size();
  EXPECT_GE(logged, 1u);
  const auto second = Run("-install");
  EXPECT_NE(second.status, 0);
  EXPECT_EQ(second.out, "The Quorlan Trend Reporting Service is already running\n");
  EXPECT_FALSE(std::filesystem::exists(Unit())) << "the second copy changed nothing";
  EXPECT_EQ(ReadEventLog(dir_.path()).size(), logged);

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(notify.Receive(), "STOPPING=1");
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const auto events = ReadEventLog(dir_.path());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().message, "Quorlan Trend Reporting Service Stopped");
}

// The embedded set-up as an operator makes it: quorlan-trendctl init, then the service starts on
// it with no database server, runs its storage steps and stops on SIGTERM.
TEST(EmbeddedInstallationTest, ServiceStartsAndStopsOnAFreshInstallation) {
  TempDir dir;
  const std::string root = dir.File("opt");
  auto r = RunCommand(dir.path(),
                      "'" + testing::BuiltExecutable("quorlan-trendctl") + "' init '" + root + "'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // Ports of the test's own, so that nothing else on the machine is disturbed.
  std::ofstream(root + "/Quorlan.ini") << "ServerPort=" << testing::FreeUdpPort() - 1
                                       << "\nServerTrapPort=" << testing::FreeUdpPort() << "\n";
  pid_t pid;
  const std::string exe = root + "/quorlan-trend";
  char* argv[] = {const_cast<char*>("quorlan-trend"), nullptr};
  char* envp[] = {nullptr};
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp), 0);
  // The start pauses 7 seconds before it reads the suite database.
  for (int i = 0; i < 300 && ReadEventLog(root).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto events = ReadEventLog(root);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].message, "Quorlan Trend Reporting Service Started. Version: 10.00");
  EXPECT_EQ(events[1].message, "Quorlan Trend Reporting Service Stopped");
  // The storage steps ran: the trend-data tables exist in the SQLite suite database.
  auto conn = NewOdbcDriver()->NewConnection();
  conn->Open("Driver=SQLite3;Database=" + root + "/" + kSuiteDatabase, kDbConnectTimeoutSeconds);
  auto rows = conn->Execute("SELECT COUNT(*) FROM sqlite_master WHERE name LIKE 'TrendData%'");
  EXPECT_EQ(rows->Field(0).AsInt32(), 4);
  EXPECT_NE(ReadFile(root + "/Debug/T-Services.txt").find("SNMP MgrV3 Started"), std::string::npos);
}

}  // namespace
}  // namespace quorlan
