// The service executable as an operator runs it.
#include <gmock/gmock.h>
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
#include "support/ci.h"
#include "support/event_log.h"
#include "support/fake_sql_server.h"
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

TEST_F(CommandLineTest, HelpPrintsTheUsage) {
  const auto r = Run("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, ::testing::StartsWith("Usage: quorlan-trend "));
  EXPECT_THAT(r.out, ::testing::HasSubstr("-install_noMsg"));
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

// The unit as systemd reads it: valid, and sandboxed.
TEST_F(CommandLineTest, TheUnitPassesSystemdsChecks) {
  if (RunCommand(dir_.path(), "command -v systemd-analyze").status != 0) {
    SKIP_OR_FAIL_UNDER_CI(std::string("systemd-analyze is missing (package systemd)"));
  }
  dir_.Write("Quorlan.mdb", "");
  ASSERT_EQ(Run("-install_noMsg").status, 0);
  const std::string unit = dir_.Read("units/quorlan-trend.service");
  for (const char* line : {"NoNewPrivileges=yes\n", "ProtectSystem=strict\n", "ProtectHome=yes\n",
                           "PrivateDevices=yes\n", "CapabilityBoundingSet=\n",
                           "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_NE(unit.find("ReadWritePaths=\"" + dir_.path() + "\"\n"), std::string::npos) << unit;
  const auto verify = RunCommand(units_, "systemd-analyze verify ./quorlan-trend.service");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_EQ(verify.out + verify.err, "") << "no warning either";
  // "Overall exposure level for quorlan-trend.service: 1.9 OK": at most 2.5.
  const auto security = RunCommand(
      units_, "systemd-analyze security --offline=true --no-pager ./quorlan-trend.service");
  const size_t at = security.out.find("Overall exposure level for quorlan-trend.service: ");
  ASSERT_NE(at, std::string::npos) << security.out << security.err;
  const double exposure = std::stod(security.out.substr(at + 51));
  EXPECT_LE(exposure, 2.5) << security.out;
}

// A line break in the folder's name would end a line of the unit and start another
// (ExecStartPre=+... runs as root); systemd drops a blank at the end of a value.
TEST_F(CommandLineTest, InstallRefusesAFolderNameTheUnitCannotCarry) {
  for (const std::string name : {"q\nExecStartPre=+touch", "q\tx", "q "}) {
    const std::string folder = dir_.MakeDir(name);
    std::filesystem::create_directory(folder + "/Debug");
    std::filesystem::copy_file(Exe(), folder + "/quorlan-trend");
    std::ofstream(folder + "/Quorlan.mdb").close();
    const auto r = RunCommand(folder, "QUORLAN_UNIT_DIR='" + units_ + "' ./quorlan-trend -install");
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.err, "Quorlan Trend Reporting Service Failed To Install\n") << name;
    EXPECT_FALSE(std::filesystem::exists(Unit())) << name;
    const auto events = ReadEventLog(folder);
    ASSERT_EQ(events.size(), 1u) << name;
    EXPECT_NE(events[0].message.find("install: the installation folder "), std::string::npos)
        << events[0].message;
  }
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
  // The start fails on the empty Quorlan.mdb: systemd is told why, then that the start is over.
  const std::string why = notify.Receive();
  EXPECT_EQ(why.rfind("STATUS=Start failed: ", 0), 0u) << why;
  EXPECT_NE(why.find("Quorlan.mdb"), std::string::npos) << why;
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
  auto rows = conn->Execute(
      "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name LIKE 'TrendData%'");
  EXPECT_EQ(rows->Field(0).AsInt32(), 4);
  EXPECT_NE(ReadFile(root + "/Debug/T-Services.txt").find("SNMP MgrV3 Started"), std::string::npos);
}

// A suite database on a SQL Server that completes the login and then never answers: the start's
// first operation ends with its time-out as one error event, and SIGTERM runs the stop sequence
// well within the unit's stop time-out (TimeoutStopSec=90).
TEST(HungDatabaseTest, TheOperationTimesOutAndSigtermStillStopsTheService) {
  testing::FakeTdsServer server;
  TempDir dir;
  dir.MakeDir("Debug");
  std::filesystem::copy_file(testing::BuiltExecutable("quorlan-trend"), dir.File("quorlan-trend"));
  CreateSqliteSettingsConsole(
      dir.File("Quorlan.mdb"), true,
      "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(server.port()) +
          ";UID=sa;PWD=secret;TDS_Version=7.4");
  std::ofstream(dir.File("Quorlan.ini")) << "ServerPort=" << testing::FreeUdpPort() - 1
                                         << "\nServerTrapPort=" << testing::FreeUdpPort() << "\n";
  pid_t pid;
  const std::string exe = dir.File("quorlan-trend");
  char* argv[] = {const_cast<char*>("quorlan-trend"), nullptr};
  char* envp[] = {nullptr};
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp), 0);
  // The start pauses 7 seconds, then its first statement goes unanswered.
  for (int i = 0; i < 600 && server.batches() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(server.batches(), 1);
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  for (int i = 0; i < 900 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  if (kill(pid, 0) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "still running " << seconds << " s after SIGTERM";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_LT(seconds, 50) << "a 30 s query time-out, 5 s for the cancel, the stop";
  const auto events = ReadEventLog(dir.path());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "modQuorlanTrend_SettingsGeneralRead");
  EXPECT_EQ(events[0].message.rfind("ODBC HYT00 execute 'SELECT * FROM Settings'", 0), 0u)
      << events[0].message;
  EXPECT_EQ(events[1].message, "Quorlan Trend Reporting Service Stopped");
  EXPECT_EQ(server.logins(), 1) << "the start went no further";
}

}  // namespace
}  // namespace quorlan
