#include <gtest/gtest.h>

#include "service/service.h"
#include "support/event_log.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

using testing::ReadEventLog;
using testing::TempDir;

class ReadIniTest : public ::testing::Test {
 protected:
  ReadIniTest() : loop_(clock_) { dir_.MakeDir("Debug"); }
  void WriteIni(const std::string& text) { dir_.Write("Quorlan.ini", text); }
  TempDir dir_;
  ManualClock clock_;
  EventLoop loop_;
  Runtime rt_{dir_.path(), clock_, loop_};
};

TEST_F(ReadIniTest, NoFileGivesTheDefaults) {
  rt_.Ini.AgentPort = 7;
  ReadIni(rt_);
  const IniSettings& ini = rt_.Ini;
  EXPECT_EQ(ini.AgentPort, 1626);
  EXPECT_EQ(ini.ServerTrapPort, 162);
  EXPECT_EQ(ini.SnmpAgentGetComm, "public");
  EXPECT_EQ(ini.SnmpAgentSetComm, "wexrol");
  EXPECT_EQ(ini.ServerIpAddr, "");
  EXPECT_EQ(ini.TimerInterval, 1000);
  EXPECT_EQ(ini.PollDelaySnmp, 20);
  EXPECT_EQ(ini.StartUpPeriod, 300);
  EXPECT_EQ(ini.StartUpDelayFactor, 2);
  EXPECT_EQ(ini.StartUpDelay, 15);
  EXPECT_EQ(ini.MaxPendSnmpV3, 1);
  EXPECT_EQ(ini.MaxTrendReports, 300);
  EXPECT_EQ(ini.MetricsFile, "") << "no metrics file unless one is named";
  // A missing key must not silently stop all SNMPv1/v2c polling.
  EXPECT_EQ(ini.MaxPendSnmp, kDefaultMaxPendSnmp);
  EXPECT_GT(ini.MaxPendSnmp, 0);
  EXPECT_TRUE(ReadEventLog(dir_.path()).empty());
}

TEST_F(ReadIniTest, ReadsKeysUnderAnySectionWithoutRegardToCase) {
  WriteIni(
      "; comment line\r\n"
      "[Network]\r\n"
      "serverport = 1625\r\n"
      "ServerTrapPort=16262\r\n"
      "ServerIpAddr= 10.1.1.1 \r\n"
      "SnmpAgentGetComm=\r\n"
      "SnmpAgentSetComm=a=b=c\r\n"
      "[Timing]\n"
      "TimerInterval=500\n"
      "MaxPendSnmp=4\n"
      "MaxPendSnmp=5\n"
      "PollDelaySnmp=2.5\n"
      "maxtrendreports = 30000\n"
      "UnknownKey=1\n"
      "metricsfile = /var/lib/prometheus/node-exporter/quorlan.prom\n"
      "X=1\n");
  ReadIni(rt_);
  const IniSettings& ini = rt_.Ini;
  EXPECT_EQ(ini.AgentPort, 1626);
  EXPECT_EQ(ini.ServerTrapPort, 16262);
  EXPECT_EQ(ini.ServerIpAddr, "10.1.1.1");
  EXPECT_EQ(ini.SnmpAgentGetComm, "") << "an empty value sets an empty community";
  EXPECT_EQ(ini.SnmpAgentSetComm, "a=b=c") << "everything after the first equals sign";
  EXPECT_EQ(ini.TimerInterval, 500);
  EXPECT_EQ(ini.MaxPendSnmp, 5) << "the last of repeated keys wins";
  EXPECT_EQ(ini.PollDelaySnmp, 2) << "halves round to even";
  EXPECT_EQ(ini.MaxTrendReports, 30000);
  EXPECT_EQ(ini.MetricsFile, "/var/lib/prometheus/node-exporter/quorlan.prom");
  EXPECT_TRUE(ReadEventLog(dir_.path()).empty());
}

TEST_F(ReadIniTest, ServerPortGivesTheAgentPortAboveIt) {
  WriteIni("ServerPort=161\n");
  ReadIni(rt_);
  EXPECT_EQ(rt_.Ini.AgentPort, 162);
}

TEST_F(ReadIniTest, DelayFactorBelowOneBecomesOne) {
  for (const char* value : {"0", "-3"}) {
    WriteIni(std::string("StartUpDelayFactor=") + value + "\n");
    ReadIni(rt_);
    EXPECT_EQ(rt_.Ini.StartUpDelayFactor, 1) << value;
  }
}

TEST_F(ReadIniTest, BadValueStopsTheReadingAndIsReported) {
  WriteIni(
      "TimerInterval=700\n"
      "StartUpDelayFactor=0\n"
      "PollDelaySnmp=fast\n"
      "MaxPendSnmp=3\n");
  ReadIni(rt_);
  EXPECT_EQ(rt_.Ini.TimerInterval, 700) << "earlier lines stay applied";
  EXPECT_EQ(rt_.Ini.PollDelaySnmp, 20);
  EXPECT_EQ(rt_.Ini.MaxPendSnmp, kDefaultMaxPendSnmp) << "later lines keep their defaults";
  EXPECT_EQ(rt_.Ini.StartUpDelayFactor, 0) << "no clamp after a failed read";
  const auto events = ReadEventLog(dir_.path());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "modQuorlanTrend_ReadIni");
  EXPECT_NE(events[0].message.find("fast"), std::string::npos) << events[0].message;
}

TEST_F(ReadIniTest, OutOfRangeValueIsAnOverflow) {
  struct Case {
    const char* line;
    const char* message;
  };
  for (const Case& c : {
           Case{"TimerInterval=40000", "Overflow: 40000 does not fit a 16-bit integer"},
           // Entry numbers are 16-bit, and a list of no entry polls nothing.
           Case{"MaxTrendReports=30001", "Overflow: MaxTrendReports=30001 is outside 1 to 30000"},
           Case{"MaxTrendReports=0", "Overflow: MaxTrendReports=0 is outside 1 to 30000"},
       }) {
    WriteIni(std::string(c.line) + "\nMaxPendSnmp=3\n");
    ReadIni(rt_);
    EXPECT_EQ(rt_.Ini.TimerInterval, 1000) << c.line;
    EXPECT_EQ(rt_.Ini.MaxTrendReports, 300) << c.line;
    EXPECT_EQ(rt_.Ini.MaxPendSnmp, kDefaultMaxPendSnmp) << c.line << ": the reading stopped";
    const auto events = ReadEventLog(dir_.path());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().message, c.message);
  }
}

}  // namespace
}  // namespace quorlan
