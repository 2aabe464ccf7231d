#include "trendlist/trend_db.h"
#include "trendlist/trendlist.h"

namespace quorlan::testing {
namespace {

using BuildTest = TrendDbTest;

TEST_F(BuildTest, LoadsReportsOfTrendEnabledNodesOnly) {
  AddNode({.node_id = 1,
           .address = "10.1.1.1",
           .image = "1",
           .SnmpVersion = "1",
           .StreetAddress = "opsv3"});
  AddNode({.node_id = 2,
           .address = "",
           .UdpPort = "1161",
           .SnmpVersion = "1",
           .PollTimeOut = "7",
           .PollRetries = "4",
           .readcomm = "rc2",
           .trapcomm = "tc2"});
  AddNode({.node_id = 3, .address = std::nullopt});
  AddNode({.node_id = 4, .TrendReports = 0});
  AddReport({.ReportId = 10,
             .ReportTitle = "Uplink",
             .NodeId = 1,
             .NodeName = "Core as saved",
             .PollInterval = "1"});
  AddReport({.ReportId = 11, .NodeId = 4});  // node not trend-enabled
  AddReport({.ReportId = 12, .NodeId = 2, .PollInterval = "60"});
  AddReport({.ReportId = 13, .NodeId = 99});  // no such node
  AddReport({.ReportId = 14, .NodeId = 3, .PollInterval = "15"});

  TrendListCreate(st);

  EXPECT_TRUE(Events().empty()) << Events()[0];
  ASSERT_EQ(st.TrendListCount, 3);
  const TrendListEntry& a = Entry(1);
  EXPECT_EQ(a.ReportId, 10);
  EXPECT_EQ(a.ReportTitle, "Uplink");
  EXPECT_EQ(a.NodeId, 1);
  EXPECT_EQ(a.NodeName, "Core as saved");
  EXPECT_EQ(a.Address, "10.1.1.1");
  EXPECT_EQ(a.SnmpVersion, 3);  // image true wins over SnmpVersion 1
  EXPECT_EQ(a.PollSnmpV3User, "opsv3");
  EXPECT_EQ(a.PollInterval, 60);
  EXPECT_EQ(a.PollType, "SnmpPoll");
  EXPECT_EQ(a.PollNextTime, DateTime::FromCivil({2026, 12, 7, 10, 3, 0, 0}));
  EXPECT_EQ(a.PollTimeOutTime, clock.Now());
  const TrendListEntry& b = Entry(2);
  EXPECT_EQ(b.ReportId, 12);
  EXPECT_EQ(b.Address, "0.0.0.0");
  EXPECT_EQ(b.UdpPort, 1161);
  EXPECT_EQ(b.SnmpVersion, 1);
  EXPECT_EQ(b.PollTimeOut, 7);
  EXPECT_EQ(b.PollRetries, 4);
  EXPECT_EQ(b.ReadComm, "rc2");
  EXPECT_EQ(b.TrapComm, "tc2");
  EXPECT_EQ(b.PollInterval, 3600);
  EXPECT_EQ(b.PollNextTime, DateTime::FromCivil({2026, 12, 7, 11, 0, 0, 0}));
  EXPECT_EQ(Entry(3).ReportId, 14);
  EXPECT_EQ(Entry(3).Address, "0.0.0.0");  // NULL address
  EXPECT_EQ(Entry(3).PollNextTime, DateTime::FromCivil({2026, 12, 7, 10, 15, 0, 0}));
}

TEST_F(BuildTest, SnmpVersionIsReadOnlyForNodesWhoseImageIsNotTrue) {
  AddNode({.node_id = 1, .image = "1", .SnmpVersion = std::nullopt});
  AddNode({.node_id = 2, .image = "1", .SnmpVersion = "abc"});
  AddNode({.node_id = 3, .image = std::nullopt, .SnmpVersion = "1"});  // NULL is not true
  AddReport({.ReportId = 1, .NodeId = 1});
  AddReport({.ReportId = 2, .NodeId = 2});
  AddReport({.ReportId = 3, .NodeId = 3});

  TrendListCreate(st);

  EXPECT_TRUE(Events().empty()) << Events()[0];
  ASSERT_EQ(st.TrendListCount, 3);
  EXPECT_EQ(Entry(1).SnmpVersion, 3);
  EXPECT_EQ(Entry(2).SnmpVersion, 3);
  EXPECT_EQ(Entry(3).SnmpVersion, 1);

  // Without the image flag the NULL is read, and the node cannot be loaded.
  Exec("UPDATE ATR_Nodes SET image = 0 WHERE node_id = 1");
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 2);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_NE(Events()[0].find("ATR_Nodes node_id 1: Invalid use of Null: field SnmpVersion"),
            std::string::npos)
      << Events()[0];
}

TEST_F(BuildTest, PollTypeRulesObjectsAndRunTimeFields) {
  AddNode({.node_id = 1, .PollType = "snmppoll"});
  AddNode({.node_id = 2, .PollType = "SNMPSTATUS"});
  AddNode({.node_id = 3, .PollType = "Manual"});
  AddReport({.ReportId = 1, .NodeId = 1, .TriggerAlarm = {{2, "1"}}});
  AddReport({.ReportId = 2, .NodeId = 2});
  AddReport({.ReportId = 3, .NodeId = 3, .TriggerAlarm = {{1, "1"}}});
  AddReport({.ReportId = 4,
             .NodeId = 1,
             .ObjId = {{1, "1.3.6.1.2.1.1.3.0"}, {3, "1.3.6.1.2.1.2.2.1.16.1"}},
             .ObjName = {{1, "Uptime"}, {3, "Out"}},
             .ObjType = {{3, "3"}},
             .ObjEval = {{3, "X*8"}},
             .TriggerAlarm = {{3, "1"}},
             .TriggerExpr = {{3, ">"}},
             .TriggerValue = {{1, "2g"}, {3, "10kB"}}});

  TrendListCreate(st);

  ASSERT_EQ(st.TrendListCount, 4) << (Events().empty() ? "" : Events()[0]);
  EXPECT_EQ(Entry(1).PollType, "SnmpStatus");  // snmppoll with TriggerAlarm2 true
  EXPECT_TRUE(Entry(1).PollTriggerAlarm[2]);
  EXPECT_EQ(Entry(2).PollType, "SnmpPoll");  // SNMPSTATUS without alarms
  EXPECT_EQ(Entry(3).PollType, "Manual");    // another word stays, alarms or not
  const TrendListEntry& e = Entry(4);
  EXPECT_EQ(e.PollNumObjects, 2);  // objects 1 and 3, object 2 empty
  EXPECT_EQ(e.PollObjId[2], "");
  EXPECT_EQ(e.PollObjId[3], "1.3.6.1.2.1.2.2.1.16.1");
  EXPECT_EQ(e.PollObjName[3], "Out");
  EXPECT_EQ(e.PollObjType[3], 3);
  EXPECT_EQ(e.PollObjEval[3], "X*8");
  EXPECT_EQ(e.PollTriggerExpr[3], ">");
  EXPECT_EQ(e.PollTriggerValueText[3], "10kB");
  EXPECT_EQ(e.PollTriggerValue[1], 2e9f);
  EXPECT_EQ(e.PollTriggerValue[2], 0.0f);
  EXPECT_EQ(e.PollTriggerValue[3], 10000.0f);
  for (int k = 1; k <= 6; ++k) {
    EXPECT_EQ(e.PollSampledValue[k], -1) << k;
    EXPECT_EQ(e.PollSavedValue[k], 0) << k;
    EXPECT_FALSE(e.PollTriggerStatus[k]) << k;
  }
  EXPECT_EQ(e.PollEngineId, "");
  EXPECT_EQ(e.PollMessId, 0);
  EXPECT_FALSE(e.PollPending);
}

TEST_F(BuildTest, SettlesFlagsAndASecondBuildYieldsTheSameEntries) {
  AddNode({.node_id = 1});
  AddReport({.ReportId = 1, .DbChanged = "1"});
  AddReport({.ReportId = 2, .DbChanged = "2"});
  AddReport({.ReportId = 3, .DbChanged = "3"});
  AddReport({.ReportId = 4, .DbChanged = "0", .ObjId = {{1, "a"}, {2, ""}, {3, "c"}}});

  TrendListCreate(st);
  ASSERT_EQ(st.TrendListCount, 3);
  EXPECT_EQ(Flag(1), "0");
  EXPECT_EQ(Flag(2), "0");
  EXPECT_EQ(Flag(3), "<none>");
  EXPECT_EQ(Flag(4), "0");
  std::vector<std::string> first;
  for (int i = 1; i <= 3; ++i) first.push_back(TrendListDumpLine(Entry(i)));
  // Texts the reports repeat are held once, and a build lets go of the texts it replaces.
  EXPECT_EQ(&Entry(1).PollObjId[1].str(), &Entry(2).PollObjId[1].str());
  EXPECT_EQ(&Entry(1).Address.str(), &Entry(3).Address.str());
  const size_t distinct = st.TrendList.DistinctTexts();

  Entry(1).PollSampledValue[1] = 77;  // run-time state is reset by the next build
  TrendListCreate(st);
  ASSERT_EQ(st.TrendListCount, 3);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(TrendListDumpLine(Entry(i)), first[i - 1]) << i;
  EXPECT_EQ(st.TrendList.DistinctTexts(), distinct);
  EXPECT_EQ(Entry(3).PollNumObjects, 2);
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(recorder->Statements(),
            (std::vector<std::string>{
                "SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'",
                "DELETE FROM TrendReports WHERE DbChanged = '3'",
                "UPDATE TrendReports SET DbChanged='0'", "SELECT * FROM TrendReports",
                "SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'",
                "DELETE FROM TrendReports WHERE DbChanged = '3'",
                "UPDATE TrendReports SET DbChanged='0'", "SELECT * FROM TrendReports"}));
}

TEST_F(BuildTest, EmptyDatabaseStillSettlesFlags) {
  AddReport({.ReportId = 5, .NodeId = 7, .DbChanged = "3"});
  AddReport({.ReportId = 6, .NodeId = 7, .DbChanged = "2"});
  st.TrendListCount = 4;
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 0);
  EXPECT_EQ(Flag(5), "<none>");
  EXPECT_EQ(Flag(6), "0");
}

TEST_F(BuildTest, FailedConversionKeepsTheRunsLastValue) {
  AddNode({.node_id = 1});
  AddReport({.ReportId = 1, .TriggerValue = {{1, "20M"}, {2, "abc"}, {3, "5"}, {6, "7"}}});
  AddReport({.ReportId = 2, .TriggerValue = {{1, "K10"}}});
  TrendListCreate(st);
  ASSERT_EQ(st.TrendListCount, 2);
  EXPECT_EQ(Entry(1).PollTriggerValue[2], 2e7f);  // after "20M"
  EXPECT_EQ(Entry(1).PollTriggerValue[3], 5.0f);
  EXPECT_EQ(Entry(1).PollTriggerValue[4], 0.0f);  // "" converts to 0
  EXPECT_EQ(Entry(2).PollTriggerValue[1], 7.0f);  // after object 6 of the report before
  EXPECT_EQ(Entry(1).PollTriggerValueText[2], "abc");
  const auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].substr(0, 34), "1\tmodQuorlanTrend_ConvTriggerValue");
}

TEST_F(BuildTest, ReportsBeyondThreeHundredAreNamedAndTheRestIsPolled) {
  AddNode({.node_id = 1});
  std::vector<ReportRow> reports;
  for (int id = 1; id <= 302; ++id) reports.push_back({.ReportId = id});
  AddReports(reports);
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 300);
  EXPECT_EQ(Entry(300).ReportId, 300);
  EXPECT_EQ(Entry(300).PollNextTime, DateTime::FromCivil({2026, 12, 7, 10, 5, 0, 0}));
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0],
            "1\tmodQuorlanTrend_TrendListCreate\tTrend list full: 300 reports loaded, 2 left "
            "out (ReportId 301, 302)");
}

TEST_F(BuildTest, AFullListNamesTheFirstTwentyLeftOutAndCountsTheRest) {
  AddNode({.node_id = 1});
  AddNode({.node_id = 2, .TrendReports = 0});
  std::vector<ReportRow> reports;
  for (int id = 1; id <= 325; ++id) {
    reports.push_back({.ReportId = id});
    // A report whose node is not trend-enabled is skipped, not left out.
    if (id == 310) reports.push_back({.ReportId = 900, .NodeId = 2});
  }
  AddReports(reports);
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 300);
  EXPECT_EQ(Entry(300).ReportId, 300);
  std::string named;
  for (int id = 301; id <= 320; ++id) named += (named.empty() ? "" : ", ") + std::to_string(id);
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0],
            "1\tmodQuorlanTrend_TrendListCreate\tTrend list full: 300 reports loaded, "
            "25 left out (ReportId " +
                named + " and 5 more)");
}

TEST_F(BuildTest, UnloadableRowsAreLeftOutWithOneEventEachAndTheRestLoads) {
  AddNode({.node_id = 1, .UdpPort = "40000"});  // a port above 32767 is a port
  AddNode({.node_id = 2, .UdpPort = "70000"});  // not a port
  AddNode({.node_id = 3, .PollRetries = std::nullopt});
  AddReports({{.ReportId = 1},
              {.ReportId = 2, .NodeId = 2},
              {.ReportId = 3, .PollInterval = "40000000"},  // 40000000 minutes do not fit in s
              {.ReportId = 4, .TriggerAlarm = {{4, std::nullopt}}},
              {.ReportId = 5, .NodeId = 3},
              {.ReportId = 6, .DbChanged = "3"},
              {.ReportId = 7}});
  st.TrendListCount = 9;
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 2);
  EXPECT_EQ(Entry(1).ReportId, 1);
  EXPECT_EQ(Entry(1).UdpPort, 40000);
  EXPECT_EQ(Entry(2).ReportId, 7) << "the failed rows left no entry behind";
  EXPECT_EQ(Flag(6), "<none>");
  const auto events = Events();
  ASSERT_EQ(events.size(), 4u) << ::testing::PrintToString(events);
  EXPECT_NE(events[0].find("TrendListCreate\tATR_Nodes node_id 2: Overflow"), std::string::npos)
      << events[0];
  EXPECT_NE(events[1].find("ATR_Nodes node_id 3: Invalid use of Null: field PollRetries; the "
                           "node and its reports are left out"),
            std::string::npos)
      << events[1];
  EXPECT_NE(events[2].find("TrendReports ReportId 3: Overflow"), std::string::npos) << events[2];
  EXPECT_NE(events[3].find("TrendReports ReportId 4: Invalid use of Null"), std::string::npos)
      << events[3];

  // A column missing altogether is no fault of one row: the build ends, the count stays.
  Exec("ALTER TABLE TrendReports DROP COLUMN ObjEval6");
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 2);
  ASSERT_EQ(Events().size(), 7u);  // the two nodes again, then the end of the build
  EXPECT_NE(Events()[6].find("TrendListCreate\tItem cannot be found: no field named ObjEval6"),
            std::string::npos)
      << Events()[6];
}

TEST_F(BuildTest, ReportsOfTrendEnabledNodesBeyondTheFirst300AreNamed) {
  std::vector<NodeRow> nodes;
  for (int id = 1; id <= 302; ++id) nodes.push_back({.node_id = id});
  nodes.push_back({.node_id = 400, .TrendReports = 0});
  AddNodes(nodes);
  AddReports({{.ReportId = 1, .NodeId = 300},
              {.ReportId = 2, .NodeId = 301},
              {.ReportId = 3, .NodeId = 400},  // not trend-enabled: left out without a word
              {.ReportId = 4, .NodeId = 302}});
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 1);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0],
            "1\tmodQuorlanTrend_TrendListCreate\tNode limit: 300 trend-enabled nodes loaded, 2 "
            "reports of further nodes left out (ReportId 2, 4)");
  AddReport({.ReportId = 5, .NodeId = 302, .DbChanged = "1"});
  TrendListTrendAdd(st);
  ASSERT_EQ(Events().size(), 2u);
  EXPECT_NE(Events()[1].find("TrendListTrendAdd\tNode limit: 300 trend-enabled nodes loaded, 1 "
                             "reports of further nodes left out (ReportId 5)"),
            std::string::npos)
      << Events()[1];
}

// MaxTrendReports sizes the list and the node limit alike, and the events name the setting.
TEST_F(BuildTest, ASizeFromQuorlanIniBoundsTheListAndTheNodesAndIsNamedWhenReached) {
  st.TrendList.SetSize(400);
  std::vector<NodeRow> nodes;
  std::vector<ReportRow> reports;
  for (int id = 1; id <= 402; ++id) {
    nodes.push_back({.node_id = id});
    reports.push_back({.ReportId = id, .NodeId = id});
  }
  reports.push_back({.ReportId = 403});
  reports.push_back({.ReportId = 404});
  AddNodes(nodes);
  AddReports(reports);
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 400);
  EXPECT_EQ(Entry(400).ReportId, 400);
  EXPECT_THROW(st.TrendList[401], RuntimeError);
  EXPECT_EQ(Events(),
            (std::vector<std::string>{
                "1\tmodQuorlanTrend_TrendListCreate\tTrend list full: 400 reports loaded, 2 left "
                "out (ReportId 403, 404); raise MaxTrendReports in Quorlan.ini",
                "1\tmodQuorlanTrend_TrendListCreate\tNode limit: 400 trend-enabled nodes loaded, 2 "
                "reports of further nodes left out (ReportId 401, 402); raise MaxTrendReports in "
                "Quorlan.ini"}));
}

TEST_F(BuildTest, UnreachableDatabaseAndErrorEntries) {
  st.TrendListCount = 2;
  st.DbConnStringSql = "Driver=SQLite3;Database=" + dir.File("no/such/folder/suite.db");
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 2);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_NE(Events()[0].find("TrendListCreate\tODBC"), std::string::npos) << Events()[0];

  // An entry in the error collection without a raised error: reported with the empty
  // description of "no run-time error", nothing after it runs.
  st.DbConnStringSql = "Driver=SQLite3;Database=" + dir.File("suite.db");
  AddReport({.ReportId = 3, .DbChanged = "2"});
  // The statement after the node query fails.
  recorder->FailStatement(2, RecordingDatabase::FailureMode::kErrorEntry);
  TrendListCreate(st);
  EXPECT_EQ(st.TrendListCount, 2);
  EXPECT_EQ(Flag(3), "2");
  ASSERT_EQ(Events().size(), 2u);
  EXPECT_EQ(Events()[1], "1\tmodQuorlanTrend_TrendListCreate\t");
}

TEST_F(BuildTest, StartDumpShowsNeverPolledEntries) {
  AddNode({.node_id = 1});
  AddReport({.ReportId = 9, .TriggerValue = {{1, "1.5K"}}});
  st.Mib_sysTrendChanged = 0;
  TrendListCreate(st);
  DebugTrendList(st);
  const auto lines = ReadLines(dir.File("Debug/T-TrendList.txt"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "2026-12-07 10:02:30.000\tMib_sysTrendChanged=0");
  EXPECT_EQ(lines[1], TrendListDumpHeader());
  EXPECT_EQ(lines[2].substr(0, 3), "9\tR");
  EXPECT_NE(lines[2].find("\t-1\t0\tFalse\t\t1500\tFalse\t"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("\t0\t2026-12-07 10:02:30\t0\tFalse\t2026-12-07 10:05:00"),
            std::string::npos)
      << lines[2];
}

}  // namespace
}  // namespace quorlan::testing
