// The systemd service host: signals become state events on the event loop.
#include "components/platform/service_host.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "components/platform/values.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

class ServiceHostTest : public ::testing::Test {
 protected:
  ServiceHostTest()
      : loop_(clock_), host_(loop_, dir_.File("quorlan-trend"), dir_.MakeDir("units"), false) {
    host_.OnState = [this] { OnState(); };
  }
  ~ServiceHostTest() override {
    // The signals stay blocked in this test process; drain what is left so that none is
    // delivered by default after the host is gone.
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
    timespec zero{0, 0};
    while (sigtimedwait(&set, nullptr, &zero) > 0) {
    }
  }
  // Records each state as its handler begins and ends; on_start runs inside the start handler.
  void OnState() {
    const int state = host_.State();
    seen_.push_back("begin " + std::to_string(state));
    if (state == kStateStart && on_start_) on_start_();
    if (state == kStateStop && on_stop_) on_stop_();
    seen_.push_back("end " + std::to_string(state));
  }
  void RunUntilQuit() {
    for (int i = 0; i < 1000 && !loop_.QuitRequested(); ++i) loop_.RunOnce(10);
  }

  testing::TempDir dir_;
  ManualClock clock_;
  EventLoop loop_;
  SystemdServiceHost host_;
  std::function<void()> on_start_, on_stop_;
  std::vector<std::string> seen_;
};

TEST_F(ServiceHostTest, RunDeliversTheStartOnceThenSignalsDeliverTheirStates) {
  host_.Run();
  loop_.DeliverPending();
  EXPECT_EQ(seen_, (std::vector<std::string>{"begin 2", "end 2"}));
  raise(SIGUSR1);
  loop_.DeliverPending();
  raise(SIGUSR2);
  loop_.DeliverPending();
  EXPECT_FALSE(loop_.QuitRequested());
  raise(SIGINT);
  RunUntilQuit();
  EXPECT_TRUE(loop_.QuitRequested());
  EXPECT_EQ(seen_, (std::vector<std::string>{"begin 2", "end 2", "begin 1", "end 1", "begin 3",
                                             "end 3", "begin 0", "end 0"}));
}

TEST_F(ServiceHostTest, StopDuringTheStartPauseWaitsForTheStartToEnd) {
  on_start_ = [this] {
    raise(SIGTERM);
    loop_.WaitMs(7000);  // the start's pause delivers events, the stop signal among them
  };
  host_.Run();
  RunUntilQuit();
  EXPECT_EQ(seen_, (std::vector<std::string>{"begin 2", "end 2", "begin 0", "end 0"}));
  EXPECT_EQ(host_.State(), kStateStop);
}

TEST_F(ServiceHostTest, HangupIsAStopAndIsSeenWhileTheStartStillRuns) {
  // A closing terminal sends SIGHUP; the start sees the stop before the loop has read it.
  bool seen_in_start = false;
  on_start_ = [this, &seen_in_start] {
    EXPECT_FALSE(host_.StopRequested());
    raise(SIGHUP);
    seen_in_start = host_.StopRequested();
  };
  host_.Run();
  RunUntilQuit();
  EXPECT_TRUE(seen_in_start);
  EXPECT_EQ(seen_, (std::vector<std::string>{"begin 2", "end 2", "begin 0", "end 0"}));
}

TEST_F(ServiceHostTest, FurtherStopSignalsDuringTheStopAreIgnored) {
  host_.Run();
  loop_.DeliverPending();
  on_stop_ = [this] {
    raise(SIGINT);
    raise(SIGTERM);
    loop_.WaitMs(2000);
  };
  raise(SIGTERM);
  RunUntilQuit();
  EXPECT_EQ(seen_, (std::vector<std::string>{"begin 2", "end 2", "begin 0", "end 0"}));
}

TEST_F(ServiceHostTest, PauseDuringTheStartIsDeliveredInsideIt) {
  on_start_ = [this] {
    raise(SIGUSR1);
    loop_.WaitMs(20);
  };
  host_.Run();
  loop_.DeliverPending();
  EXPECT_EQ(seen_, (std::vector<std::string>{"begin 2", "begin 1", "end 1", "end 2"}));
}

TEST_F(ServiceHostTest, UnitNamesTheExecutableQuotedForSystemd) {
  const std::string unit = SystemdServiceHost::UnitText(
      "Quorlan Trend Reporting", "/opt/my q/100%/quorlan-trend", "quorlan", "quorlan");
  EXPECT_NE(unit.find("ExecStart=\"/opt/my q/100%%/quorlan-trend\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("WorkingDirectory=/opt/my q/100%%\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ReadWritePaths=\"/opt/my q/100%%\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("User=quorlan\nGroup=quorlan\n"), std::string::npos) << unit;
  host_.Install("Quorlan Trend Reporting", 1);
  std::ifstream in(dir_.File("units/quorlan-trend.service"));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The unit runs as the owner of the installation folder.
  const passwd* owner = getpwuid(geteuid());
  const group* owner_group = getgrgid(getegid());
  ASSERT_TRUE(owner != nullptr && owner_group != nullptr);
  EXPECT_EQ(text,
            SystemdServiceHost::UnitText("Quorlan Trend Reporting", dir_.File("quorlan-trend"),
                                         owner->pw_name, owner_group->gr_name));
  host_.Uninstall("Quorlan Trend Reporting");
  EXPECT_FALSE(std::ifstream(dir_.File("units/quorlan-trend.service")).good());
  EXPECT_THROW(host_.Uninstall("Quorlan Trend Reporting"), RuntimeError);
}

}  // namespace
}  // namespace quorlan
