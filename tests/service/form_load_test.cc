#include <gtest/gtest.h>

#include "service/service.h"
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
    // A name of its own per test keeps parallel tests apart.
    return FormLoad(m_, args, dir_.File("quorlan-trend"), lock, console_);
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
  ASSERT_TRUE(first.Acquire(dir_.File("quorlan-trend")));
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
    ASSERT_TRUE(one.Acquire(a.File("quorlan-trend")));
    InstanceLock other;
    EXPECT_TRUE(other.Acquire(b.File("quorlan-trend"))) << "another installation";
    InstanceLock again;
    EXPECT_FALSE(again.Acquire(a.File("quorlan-trend")));
  }
  InstanceLock after;
  EXPECT_TRUE(after.Acquire(a.File("quorlan-trend")));
}

}  // namespace
}  // namespace quorlan
