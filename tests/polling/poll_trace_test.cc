// The poll trace rows and their merge into T-PollStatus.txt.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "polling/poll_harness.h"

namespace quorlan {
namespace {

using testing::Fields;
using testing::PollHarness;

class PollTraceTest : public ::testing::Test {
 protected:
  std::string Read(const char* name) { return h_.dir.Read(std::string("Debug/") + name); }
  void Write(const char* name, const std::string& text) {
    h_.dir.Write(std::string("Debug/") + name, text);
  }
  bool Exists(const char* name) { return FileExists(h_.st.DebugFile(name)); }

  ManualClock clock_{DateTime::FromCivil({2026, 12, 7, 10, 2, 30, 45})};
  PollHarness h_{clock_};
  const std::string header_ = DebugPollHeader() + "\r\n";
};

TEST_F(PollTraceTest, RowsHoldSixteenFieldsAndSixObjectGroupsOfTheirWriter) {
  TrendListEntry& e = h_.AddEntry(161);
  e.PollMessId = 1000007;
  e.PollEngineBoots = 3;
  e.PollEngineTime = 1300;
  e.PollSampledValue[1] = 16777217;
  e.PollSavedValue[1] = 2.5;
  e.PollTriggerValue[1] = 1500;
  e.PollTriggerValueText[1] = "1.5K";
  e.PollTriggerStatus[1] = true;
  e.PollObjName[2] = "In\tbound\r\n";  // control characters become blanks
  h_.st.Pending = 4;
  struct Case {
    PollRowObjects form;
    std::vector<std::string> group1;  // SampledVal .. TriggerStatus of object 1
  };
  for (const Case& c :
       {Case{PollRowObjects::kPoll, {"16777217", "3", "False", "", "1500", "True"}},
        Case{PollRowObjects::kNoReply, {"16777217", "2.5", "False", "", "1500", "True"}},
        Case{PollRowObjects::kResponse, {"16777217", "3", "False", "", "1.5K", "True"}}}) {
    const std::vector<std::string> f =
        Fields(PollTraceRow(h_.st, e, " --> snmpPoll", "801F", c.form));
    ASSERT_EQ(f.size(), 76u);
    EXPECT_EQ(std::vector<std::string>(f.begin(), f.begin() + 16),
              (std::vector<std::string>{"2026-12-07 10:02:30.045", " --> snmpPoll", "SnmpPoll",
                                        "300", "101", "Report 1", "1", "node1", "127.0.0.1",
                                        "1000007", "2", "801F", "3", "1300", "4", "0"}));
    EXPECT_EQ(std::vector<std::string>(f.begin() + 20, f.begin() + 26), c.group1);
    EXPECT_EQ(f[27], "In bound  ");
    // The sixth group of an entry with one object.
    EXPECT_EQ(f[66], "");
    EXPECT_EQ(f[70], "-1");
    EXPECT_EQ(f[75], "False");
  }
}

TEST_F(PollTraceTest, EngineIdTextIsUpperCaseHexWithoutLeadingZeros) {
  EXPECT_EQ(EngineIdText(std::string("\x00\x01\x0f", 3)), "01F");
  EXPECT_EQ(EngineIdText(std::string("\x80\x00\x0a\x01", 4)), "800A1");
  EXPECT_EQ(EngineIdText("\xff"), "FF");
  EXPECT_EQ(EngineIdText(""), "");
}

TEST_F(PollTraceTest, MergeGathersTheFourFilesInTheirOrderUnderOneHeader) {
  Write(kTraceSnmpRespV3, header_ + "r3a\r\n");
  Write(kTraceSnmpPoll, header_ + "p1\r\np2\r\n");
  Write(kTraceSnmpResp, "row without header\r\nr1\n");  // restarted after the daily clearing
  Write(kTraceSnmpPollV3, "time\tlower-case header\r\np3\r\n");
  Write(kTracePollStatus, "an earlier merge\r\n");
  DebugMergePoll(h_.st);
  EXPECT_EQ(Read(kTracePollStatus),
            header_ + "p1\r\np2\r\np3\r\nrow without header\r\nr1\r\nr3a\r\n");
  for (const char* name : {kTraceSnmpPoll, kTraceSnmpPollV3, kTraceSnmpResp, kTraceSnmpRespV3}) {
    EXPECT_FALSE(Exists(name)) << name;
  }
  // Nothing left: a second run leaves the header alone.
  DebugMergePoll(h_.st);
  EXPECT_EQ(Read(kTracePollStatus), header_);
  EXPECT_TRUE(h_.Events().empty());
  EXPECT_EQ(Fields(header_.substr(0, header_.size() - 2)).size(), 76u);
}

TEST_F(PollTraceTest, AnEmptyTraceFileEndsTheMergeAndStays) {
  Write(kTraceSnmpPoll, header_ + "p1\r\n");
  Write(kTraceSnmpPollV3, "");
  Write(kTraceSnmpResp, header_ + "r1\r\n");
  DebugMergePoll(h_.st);
  EXPECT_EQ(Read(kTracePollStatus), header_ + "p1\r\n");
  EXPECT_FALSE(Exists(kTraceSnmpPoll));
  EXPECT_TRUE(Exists(kTraceSnmpPollV3));
  EXPECT_TRUE(Exists(kTraceSnmpResp));
  const auto events = h_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "modQuorlanTrend_DebugMergePoll");
  EXPECT_NE(events[0].message.find("T-SnmpPollV3.txt: the file has no line"), std::string::npos)
      << events[0].message;
}

TEST_F(PollTraceTest, ALargeTraceFileIsCopiedWhole) {
  std::string rows;
  for (int i = 0; i < 30000; ++i) rows += fmt::format("row {:06}\t{}\r\n", i, std::string(60, 'x'));
  Write(kTraceSnmpResp, header_ + rows);
  DebugMergePoll(h_.st);
  EXPECT_EQ(Read(kTracePollStatus), header_ + rows);
}

}  // namespace
}  // namespace quorlan
