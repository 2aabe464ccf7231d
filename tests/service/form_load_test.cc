#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "service/service.h"
#include "support/ci.h"
#include "support/event_log.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::FakeServiceHost;
using testing::ReadEventLog;
using testing::RecordingConsole;
using testing::TempDir;

class FormLoadTest : public ::testing::Test {
 protected:
  FormLoadTest() : loop_(clock_) {
    dir_.MakeDir("Debug");
    dir_.Write("Quorlan.mdb", "");
  }
  int Load(const std::string& args) {
    InstanceLock lock;
    return FormLoad(m_, args, lock, console_);
  }
  std::string OnlyBox() {
    EXPECT_EQ(console_.boxes.size(), 1u);
    return console_.boxes.empty() ? "" : console_.boxes[0].text;
  }

  TempDir dir_;
  ManualClock clock_;
  EventLoop loop_;
  FakeServiceHost host_;
  RecordingConsole console_;
  Module m_{dir_.path(), clock_, loop_, host_};
};

TEST_F(FormLoadTest, OptionsAreCaseSensitive) {
  for (const char* args : {"-Install", "-UNINSTALL", "x", "-uninstall2", "install"}) {
    console_.boxes.clear();
    EXPECT_EQ(Load(args), kExitRefused) << args;
    EXPECT_EQ(OnlyBox(), "Invalid command option");
    EXPECT_EQ(console_.boxes[0].style, 64);
    EXPECT_EQ(console_.boxes[0].title, "Quorlan");
  }
  EXPECT_TRUE(host_.calls.empty());
  EXPECT_TRUE(ReadEventLog(dir_.path()).empty());
}

TEST_F(FormLoadTest, InstallComparesOnlyTheFirstEightCharacters) {
  EXPECT_EQ(Load("-installXYZ"), kExitOk);
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"install Quorlan Trend Reporting 1"}));
  EXPECT_EQ(OnlyBox(), "Quorlan Trend Reporting Service Installed Successfully");
  const auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "3");
  EXPECT_EQ(events[0].source, "frmQuorlanTrend_Form_Load");
  EXPECT_EQ(events[0].message, "Service Installed");
}

TEST_F(FormLoadTest, SilentInstallShowsNothing) {
  EXPECT_EQ(Load("-install_noMsg"), kExitOk);
  EXPECT_TRUE(console_.boxes.empty());
  EXPECT_EQ(host_.calls.size(), 1u);
}

TEST_F(FormLoadTest, InstallNeedsTheSettingsDatabase) {
  std::remove(dir_.File("Quorlan.mdb").c_str());
  EXPECT_EQ(Load("-install"), kExitRefused);
  EXPECT_EQ(OnlyBox(), "Quorlan.mdb does not exits");
  EXPECT_EQ(console_.boxes[0].style, 0);
  EXPECT_TRUE(host_.calls.empty());
  EXPECT_TRUE(ReadEventLog(dir_.path()).empty()) << "the refusal raises no event";
}

TEST_F(FormLoadTest, UninstallDoesNotNeedTheSettingsDatabase) {
  std::remove(dir_.File("Quorlan.mdb").c_str());
  EXPECT_EQ(Load("-uninstall"), kExitOk);
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"uninstall Quorlan Trend Reporting"}));
  EXPECT_EQ(OnlyBox(), "Quorlan Trend Reporting Service Uninstalled Successfully");
  EXPECT_EQ(ReadEventLog(dir_.path()).at(0).message, "Service Uninstalled");
}

TEST_F(FormLoadTest, FailuresChooseTheirMessageByThePendingOperation) {
  host_.fail = true;
  struct Case {
    const char* args;
    const char* message;
  };
  for (const Case& c : {Case{"-install", "Quorlan Trend Reporting Service Failed To Install"},
                        Case{"-uninstall", "Quorlan Trend Reporting Service Failed To Uninstall"},
                        Case{"", "Error when accessing the Database."}}) {
    console_.boxes.clear();
    EXPECT_EQ(Load(c.args), kExitFailure);
    ASSERT_EQ(console_.boxes.size(), 1u);
    EXPECT_EQ(console_.boxes[0].text.rfind(c.message, 0), 0u) << console_.boxes[0].text;
    EXPECT_EQ(console_.boxes[0].style, 16);
  }
  const auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].type, "1");
  EXPECT_EQ(events[2].message, "run refused by the fake host");
}

TEST_F(FormLoadTest, StartUpFailureShowsTheDatabaseAdvice) {
  host_.fail = true;
  EXPECT_EQ(Load(""), kExitFailure);
  EXPECT_EQ(OnlyBox(),
            "Error when accessing the Database.\n\n"
            "The Microsoft Data Access Components (MDAC) 2.5 or greater must be\n"
            "installed on the computer. The MDAC 2.5 could be found on:\n\n"
            "the Debian packages unixodbc, libsqliteodbc and tdsodbc (scripts/bootstrap)\n\n"
            "or on the Quorlan CD-ROM in the MDAC directory.");
  EXPECT_EQ(console_.boxes[0].title, "Quorlan");
}

TEST_F(FormLoadTest, ServiceModeRunsTheHost) {
  EXPECT_EQ(Load(""), kEnterServiceMode);
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"run"}));
  EXPECT_TRUE(console_.boxes.empty());
}

TEST_F(FormLoadTest, SecondCopyIsRefusedWhateverItsArguments) {
  InstanceLock first;
  ASSERT_TRUE(first.Acquire(dir_.path()));
  for (const char* args : {"", "-install", "-uninstall", "x"}) {
    console_.boxes.clear();
    EXPECT_EQ(Load(args), kExitRefused);
    EXPECT_EQ(OnlyBox(), "The Quorlan Trend Reporting Service is already running");
  }
  EXPECT_TRUE(host_.calls.empty());
  EXPECT_TRUE(ReadEventLog(dir_.path()).empty());
}

TEST(InstanceLockTest, IsPerInstallationAndReleasedWithItsHolder) {
  TempDir a, b;
  {
    InstanceLock one;
    ASSERT_TRUE(one.Acquire(a.path()));
    InstanceLock other;
    EXPECT_TRUE(other.Acquire(b.path())) << "another installation";
    InstanceLock again;
    EXPECT_FALSE(again.Acquire(a.path()));
  }
  InstanceLock after;
  EXPECT_TRUE(after.Acquire(a.path()));
  struct stat st {};
  ASSERT_EQ(stat(a.File(InstanceLock::kLockFileName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// What a process of user nobody gets from InstanceLock::Acquire (or from locking the lock file
// directly) on folder: 'y' it holds the lock, 'n' it does not, 'e' it could not even try. The
// child keeps what it got until the parent's check has run.
class NobodyProcess {
 public:
  explicit NobodyProcess(const std::string& folder) {
    if (pipe(ready_) != 0 || pipe(done_) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) Child(folder);
    close(ready_[1]);
    close(done_[0]);
  }
  char Result() {
    char r = '?';
    if (read(ready_[0], &r, 1) != 1) r = '?';
    return r;
  }
  ~NobodyProcess() {
    close(done_[1]);
    waitpid(pid_, nullptr, 0);
    close(ready_[0]);
  }

 private:
  [[noreturn]] void Child(const std::string& folder) {
    close(ready_[0]);
    close(done_[1]);
    char result = 'e';
    InstanceLock lock;
    int fd = -1;
    if (setgid(65534) == 0 && setuid(65534) == 0) {
      try {
        result = lock.Acquire(folder) ? 'y' : 'n';
      } catch (const std::exception&) {
        fd = open((folder + "/" + InstanceLock::kLockFileName).c_str(), O_RDONLY);
        result = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
      }
    }
    if (write(ready_[1], &result, 1) != 1) _exit(1);
    char c;
    while (read(done_[0], &c, 1) > 0) {
    }
    _exit(0);
  }

  int ready_[2], done_[2];
  pid_t pid_ = -1;
};

TEST(InstanceLockTest, AnotherLocalUserCanNeitherTakeNorBlockTheLock) {
  if (geteuid() != 0) SKIP_OR_FAIL_UNDER_CI(std::string("needs root to act as user nobody"));
  TempDir dir;
  chmod(dir.path().c_str(), 0755);  // an installation folder others may read
  {
    NobodyProcess first(dir.path());  // before the lock file exists
    EXPECT_EQ(first.Result(), 'n');
    InstanceLock service;
    EXPECT_TRUE(service.Acquire(dir.path()));
  }
  {
    NobodyProcess second(dir.path());  // once it exists
    EXPECT_EQ(second.Result(), 'n');
    InstanceLock service;
    EXPECT_TRUE(service.Acquire(dir.path()));
  }
}

}  // namespace
}  // namespace quorlan
