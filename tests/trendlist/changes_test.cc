#include <fmt/format.h>

#include "trendlist/loading.h"
#include "trendlist/trend_db.h"
#include "trendlist/trendlist.h"

namespace quorlan::testing {
namespace {

class ChangesTest : public TrendDbTest {
 protected:
  // Two nodes and three loaded reports: 1 and 2 on node 1, 3 on node 2.
  void SetUpLoaded() {
    AddNode({.node_id = 1, .node_name = "Core-1", .PollType = "SnmpPoll"});
    AddNode({.node_id = 2, .node_name = "Edge-2", .address = "10.0.0.2"});
    AddReport({.ReportId = 1, .NodeId = 1, .TriggerValue = {{1, "1K"}}});
    AddReport({.ReportId = 2, .NodeId = 1});
    AddReport({.ReportId = 3, .NodeId = 2, .NodeName = "Edge-2"});
    TrendListCreate(st);
    ASSERT_EQ(st.TrendListCount, 3);
    recorder->log().clear();
  }
};

TEST_F(ChangesTest, AddAppendsFlaggedReportsOfKnownNodes) {
  SetUpLoaded();
  AddNode({.node_id = 3, .TrendReports = 0});
  AddReport({.ReportId = 20,
             .NodeId = 2,
             .PollInterval = "15",
             .DbChanged = "1",
             .TriggerAlarm = {{6, "1"}}});
  AddReport({.ReportId = 21, .NodeId = 3, .DbChanged = "1"});  // node not trend-enabled
  AddReport({.ReportId = 22, .NodeId = 1, .DbChanged = "2"});  // not an addition
  clock.Set(DateTime::FromCivil({2026, 12, 7, 10, 14, 0, 0}));

  TrendListTrendAdd(st);

  EXPECT_TRUE(Events().empty());
  ASSERT_EQ(st.TrendListCount, 4);
  const TrendListEntry& e = Entry(4);
  EXPECT_EQ(e.ReportId, 20);
  EXPECT_EQ(e.Address, "10.0.0.2");
  EXPECT_EQ(e.PollType, "SnmpStatus");
  EXPECT_EQ(e.PollInterval, 900);
  EXPECT_EQ(e.PollNextTime, DateTime::FromCivil({2026, 12, 7, 10, 15, 0, 0}));
  EXPECT_EQ(e.PollSampledValue[1], -1);
  EXPECT_EQ(Flag(20), "0");
  EXPECT_EQ(Flag(21), "0");  // cleared although not loaded
  EXPECT_EQ(Flag(22), "2");
  EXPECT_EQ(
      recorder->Statements(),
      (std::vector<std::string>{"SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'",
                                "SELECT * FROM TrendReports WHERE DbChanged = '1'",
                                "UPDATE TrendReports SET DbChanged = '0' WHERE DbChanged = '1' "
                                "AND ReportId IN (20, 21)"}));

  // A row flagged '1' again while loaded gets a second entry.
  Exec("UPDATE TrendReports SET DbChanged = '1' WHERE ReportId = 20");
  TrendListTrendAdd(st);
  EXPECT_EQ(st.TrendListCount, 5);
  EXPECT_EQ(Entry(5).ReportId, 20);
  // Nothing flagged: nothing changes, and no statement settles anything.
  TrendListTrendAdd(st);
  EXPECT_EQ(st.TrendListCount, 5);
}

TEST_F(ChangesTest, AddBeyondTheTableLoadsWhatFitsAndNamesTheRest) {
  AddNode({.node_id = 1});
  std::vector<ReportRow> reports;
  for (int id = 1; id <= 298; ++id) reports.push_back({.ReportId = id});
  AddReports(reports);
  TrendListCreate(st);
  ASSERT_EQ(st.TrendListCount, 298);
  AddReports({{.ReportId = 501, .DbChanged = "1"},
              {.ReportId = 502, .DbChanged = "1"},
              {.ReportId = 503, .DbChanged = "1"},
              {.ReportId = 504, .DbChanged = "1"}});
  TrendListTrendAdd(st);
  EXPECT_EQ(st.TrendListCount, 300);
  EXPECT_EQ(Entry(300).ReportId, 502);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0],
            "1\tmodQuorlanTrend_TrendListTrendAdd\tTrend list full: 300 reports loaded, 2 left "
            "out (ReportId 503, 504)");
  EXPECT_EQ(Flag(504), "0");
}

TEST_F(ChangesTest, AnUnloadableAddedRowIsLeftOutAndTheRestLoads) {
  SetUpLoaded();
  AddReport({.ReportId = 30, .DbChanged = "1", .ObjType = {{2, "70000"}}});
  AddReport({.ReportId = 31, .DbChanged = "1"});
  TrendListTrendAdd(st);
  EXPECT_EQ(st.TrendListCount, 4);
  EXPECT_EQ(Entry(4).ReportId, 31);
  EXPECT_EQ(Entry(4).PollObjType[2], 0) << "nothing of the failed row stays";
  EXPECT_EQ(Flag(30), "0");
  EXPECT_EQ(Flag(31), "0");
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_NE(Events()[0].find("TrendListTrendAdd\tTrendReports ReportId 30: Overflow"),
            std::string::npos)
      << Events()[0];
  EXPECT_NE(Events()[0].find("; the report is left out"), std::string::npos) << Events()[0];
}

TEST_F(ChangesTest, AFailedSettlingCountsNothingAndTheNextPassLoadsOnce) {
  SetUpLoaded();
  AddReports({{.ReportId = 40, .DbChanged = "1"}, {.ReportId = 41, .DbChanged = "1"}});
  recorder->FailStatement(3, RecordingDatabase::FailureMode::kRaise);  // the update
  TrendListTrendAdd(st);
  EXPECT_EQ(st.TrendListCount, 3);
  EXPECT_EQ(Flag(40), "1");
  TrendListTrendAdd(st);
  EXPECT_EQ(st.TrendListCount, 5);
  EXPECT_EQ(Entry(4).ReportId, 40);
  EXPECT_EQ(Entry(5).ReportId, 41);
  EXPECT_EQ(Events().size(), 1u);
}

TEST_F(ChangesTest, RowsFlaggedWhileAPassRunsWaitForTheNextPass) {
  SetUpLoaded();
  AddReport({.ReportId = 42, .DbChanged = "1"});
  Exec("UPDATE TrendReports SET DbChanged = '3' WHERE ReportId = 2");
  // The editor flags more rows between each pass's SELECT and its settling statement.
  recorder->before_statement = [this](const std::string& sql) {
    if (sql.rfind("UPDATE TrendReports SET DbChanged = '0'", 0) == 0) {
      AddReport({.ReportId = 43, .DbChanged = "1"});
    }
    if (sql.rfind("DELETE FROM TrendReports WHERE DbChanged = '3'", 0) == 0) {
      Exec("UPDATE TrendReports SET DbChanged = '3' WHERE ReportId = 3");
    }
  };
  TrendListTrendAdd(st);
  TrendListTrendDel(st);
  recorder->before_statement = nullptr;
  EXPECT_EQ(st.TrendListCount, 4);
  EXPECT_EQ(Flag(42), "0");
  EXPECT_EQ(Flag(43), "1");
  EXPECT_EQ(Flag(2), "<none>");
  EXPECT_EQ(Flag(3), "3");
  EXPECT_EQ(Entry(3).PollType, "SnmpPoll");
  TrendListTrendAdd(st);
  TrendListTrendDel(st);
  EXPECT_EQ(Entry(5).ReportId, 43);
  EXPECT_EQ(Entry(3).PollType, "Deleted");
  EXPECT_EQ(Flag(3), "<none>");
}

TEST_F(ChangesTest, EditUpdatesReportAndNodeFieldsOnly) {
  SetUpLoaded();
  TrendListEntry& e = Entry(1);
  e.PollTriggerStatus[1] = true;
  e.PollSampledValue[1] = 500;
  e.PollSavedValue[1] = 20;
  e.PollMessId = 1000007;
  e.PollPending = true;
  const DateTime next = e.PollNextTime;
  Exec(
      "UPDATE ATR_Nodes SET address = '10.9.9.9', PollType = 'SNMPPOLL', image = 1 WHERE "
      "node_id = 1");
  Exec(
      "UPDATE TrendReports SET DbChanged = '2', ReportTitle = 'Renamed', NodeName = 'Core-X', "
      "PollInterval = 60, ObjId1 = '1.3.6.1.9', ObjName1 = 'Octets', ObjType1 = 3, ObjEval1 = "
      "'X/2', TriggerAlarm3 = 1, TriggerExpr3 = '<', TriggerValue3 = '2M' WHERE ReportId = 1");

  TrendListTrendEdit(st);

  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(e.ReportTitle, "Renamed");
  EXPECT_EQ(e.NodeName, "Core-X");
  EXPECT_EQ(e.Address, "10.9.9.9");
  EXPECT_EQ(e.SnmpVersion, 3);
  EXPECT_EQ(e.PollInterval, 3600);
  EXPECT_EQ(e.PollType, "SnmpStatus");
  EXPECT_EQ(e.PollObjName[1], "Octets");
  EXPECT_TRUE(e.PollTriggerAlarm[3]);
  EXPECT_EQ(e.PollTriggerExpr[3], "<");
  EXPECT_EQ(e.PollTriggerValue[3], 2e6f);
  EXPECT_EQ(e.PollSampledValue[1], -1);
  EXPECT_EQ(e.PollSavedValue[1], 0);
  // Left for the next full build or poll.
  EXPECT_EQ(e.PollObjId[1], "1.3.6.1.2.1.2.2.1.10.1");
  EXPECT_EQ(e.PollObjType[1], 0);
  EXPECT_EQ(e.PollObjEval[1], "");
  EXPECT_TRUE(e.PollTriggerStatus[1]);
  EXPECT_EQ(e.PollMessId, 1000007);
  EXPECT_TRUE(e.PollPending);
  EXPECT_EQ(e.PollNextTime, next);
  EXPECT_EQ(Flag(1), "0");
  EXPECT_EQ(Entry(2).Address, "10.0.0.1");  // only flagged rows are applied
}

// Years of edits must not grow the list: a text no entry holds any more leaves the pool, and a
// node's new settings are shared by its reports.
TEST_F(ChangesTest, RepeatedEditsKeepOnlyTheTextsInUse) {
  SetUpLoaded();
  size_t distinct = 0;
  for (int i = 0; i < 4; ++i) {
    Exec(fmt::format("UPDATE ATR_Nodes SET address = '10.9.9.{}' WHERE node_id = 1", i));
    Exec(fmt::format(
        "UPDATE TrendReports SET DbChanged = '2', ObjName1 = 'Name {}', TriggerExpr3 = '<', "
        "TriggerValue3 = '{}' WHERE ReportId IN (1, 2)",
        i, i));
    TrendListTrendEdit(st);
    ASSERT_EQ(Entry(1).PollObjName[1], fmt::format("Name {}", i));
    EXPECT_EQ(&Entry(1).Address.str(), &Entry(2).Address.str());
    EXPECT_EQ(&Entry(1).PollObjName[1].str(), &Entry(2).PollObjName[1].str());
    if (i == 0) distinct = st.TrendList.DistinctTexts();
    EXPECT_EQ(st.TrendList.DistinctTexts(), distinct) << "after edit " << i;
  }
}

TEST_F(ChangesTest, EditOfANodeThatLeftTrendReportingAndOfUnloadedOrDeletedReports) {
  SetUpLoaded();
  Exec("UPDATE ATR_Nodes SET TrendReports = '0', address = '10.7.7.7' WHERE node_id = 2");
  Exec(
      "UPDATE TrendReports SET DbChanged = '2', ReportTitle = 'Edge renamed', PollInterval = "
      "1, ObjName1 = 'Errors', TriggerAlarm1 = 1, TriggerValue1 = '3' WHERE ReportId = 3");
  AddReport({.ReportId = 40, .DbChanged = "2"});  // not in the table
  Entry(2).PollType = "Deleted";
  Exec("UPDATE TrendReports SET DbChanged = '2', ReportTitle = 'Gone' WHERE ReportId = 2");

  TrendListTrendEdit(st);

  EXPECT_TRUE(Events().empty());
  const TrendListEntry& e = Entry(3);
  EXPECT_EQ(e.ReportTitle, "Edge renamed");
  EXPECT_EQ(e.PollObjName[1], "Errors");
  EXPECT_TRUE(e.PollTriggerAlarm[1]);
  EXPECT_EQ(e.PollTriggerValue[1], 3.0f);
  EXPECT_EQ(e.Address, "10.0.0.2");  // node fields and interval unchanged
  EXPECT_EQ(e.PollInterval, 300);
  EXPECT_EQ(e.PollType, "SnmpPoll");
  EXPECT_EQ(st.TrendListCount, 3);  // report 40 is not added
  EXPECT_EQ(Flag(40), "0");
  EXPECT_EQ(Entry(2).PollType, "Deleted");  // an edit does not bring it back
  EXPECT_EQ(Entry(2).ReportTitle, "Gone");
}

TEST_F(ChangesTest, EditStatementsAndTheRunsConversionVariable) {
  SetUpLoaded();
  Exec(
      "UPDATE TrendReports SET DbChanged = '2', TriggerValue1 = '20M', TriggerValue2 = 'abc', "
      "TriggerValue3 = '', TriggerValue4 = '75' WHERE ReportId = 2");
  Entry(2).PollTriggerValue[2] = 123;

  TrendListTrendEdit(st);

  const TrendListEntry& e = Entry(2);
  EXPECT_EQ(e.PollTriggerValue[1], 2e7f);
  EXPECT_EQ(e.PollTriggerValue[2], 2e7f);  // the last successful conversion of the run
  EXPECT_EQ(e.PollTriggerValueText[2], "abc");
  EXPECT_EQ(e.PollTriggerValue[3], 0.0f);
  EXPECT_EQ(e.PollTriggerValue[4], 75.0f);
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("1\tmodQuorlanTrend_ConvTriggerValue\tTrigger value \"abc\": ", 0), 0u)
      << events[0];
  EXPECT_EQ(Flag(2), "0");
  EXPECT_EQ(
      recorder->Statements(),
      (std::vector<std::string>{"SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'",
                                "SELECT * FROM TrendReports WHERE DbChanged = '2'",
                                "UPDATE TrendReports SET DbChanged = '0' WHERE DbChanged = '2' "
                                "AND ReportId = 2"}));
}

TEST_F(ChangesTest, AnEditThatCannotBeAppliedLeavesItsEntryAsItWas) {
  SetUpLoaded();
  Exec(
      "UPDATE TrendReports SET DbChanged = '2', ReportTitle = 'New', ObjName4 = NULL WHERE "
      "ReportId = 3");
  Exec("UPDATE TrendReports SET DbChanged = '2', ReportTitle = 'Two' WHERE ReportId = 2");
  TrendListTrendEdit(st);
  EXPECT_EQ(Entry(3).ReportTitle, "Report");
  EXPECT_EQ(Entry(2).ReportTitle, "Two");
  EXPECT_EQ(Flag(3), "0");
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_NE(Events()[0].find("TrendListTrendEdit\tTrendReports ReportId 3: Invalid use of Null: "
                             "field ObjName4; the edit is left out"),
            std::string::npos)
      << Events()[0];
}

TEST_F(ChangesTest, DeleteMarksEntriesAndRemovesRows) {
  SetUpLoaded();
  Entry(2).PollPending = true;
  Exec("UPDATE TrendReports SET DbChanged = '3' WHERE ReportId IN (2, 3)");
  AddReport({.ReportId = 50, .DbChanged = "3"});  // no entry

  TrendListTrendDel(st);

  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(st.TrendListCount, 3);
  EXPECT_EQ(Entry(1).PollType, "SnmpPoll");
  EXPECT_EQ(Entry(2).PollType, "Deleted");
  EXPECT_TRUE(Entry(2).PollPending);  // everything else stays
  EXPECT_EQ(Entry(2).ReportId, 2);
  EXPECT_EQ(Entry(3).PollType, "Deleted");
  EXPECT_EQ(Flag(2), "<none>");
  EXPECT_EQ(Flag(50), "<none>");
  EXPECT_EQ(Flag(1), "0");
  EXPECT_EQ(recorder->Statements(),
            (std::vector<std::string>{"SELECT * FROM TrendReports WHERE DbChanged = '3'",
                                      "DELETE FROM TrendReports WHERE DbChanged = '3' AND "
                                      "ReportId IN (2, 3, 50)"}));
}

TEST_F(ChangesTest, AdditionsWaitWhileOnlyTheDeletionPassRuns) {
  // Codes 1 then 3 before a tick: only the deletion pass runs, the added rows stay flagged.
  SetUpLoaded();
  AddReport({.ReportId = 60, .DbChanged = "1"});
  AddReport({.ReportId = 61, .DbChanged = "1"});
  Exec("UPDATE TrendReports SET DbChanged = '3' WHERE ReportId = 1");
  TrendListTrendDel(st);
  EXPECT_EQ(Flag(60), "1");
  EXPECT_EQ(Flag(61), "1");
  EXPECT_EQ(Flag(1), "<none>");
  EXPECT_EQ(st.TrendListCount, 3);
  TrendListTrendAdd(st);  // a later addition pass picks them up
  EXPECT_EQ(st.TrendListCount, 5);
  EXPECT_EQ(Flag(60), "0");
}

TEST_F(ChangesTest, PassesReportConnectionFailuresUnderTheirNames) {
  SetUpLoaded();
  recorder->FailOpens(RecordingDatabase::FailureMode::kRaise);
  TrendListTrendAdd(st);
  TrendListTrendEdit(st);
  TrendListTrendDel(st);
  const auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], "1\tmodQuorlanTrend_TrendListTrendAdd\tODBC HY000 open: injected failure");
  EXPECT_EQ(events[1], "1\tmodQuorlanTrend_TrendListTrendEdit\tODBC HY000 open: injected failure");
  EXPECT_EQ(events[2], "1\tmodQuorlanTrend_TrendListTrendDel\tODBC HY000 open: injected failure");
  EXPECT_EQ(st.TrendListCount, 3);
}

TEST(IdConditionTest, SelectsTheRowsReadRunsAsRanges) {
  using trendlist::IdCondition;
  EXPECT_EQ(IdCondition("ReportId", {7}), "ReportId = 7");
  EXPECT_EQ(IdCondition("ReportId", {9, 3, 9}), "ReportId IN (3, 9)");
  std::vector<int64_t> ids = {5};
  for (int64_t id = 80; id >= 20; --id) ids.push_back(id);
  EXPECT_EQ(IdCondition("node_id", ids), "(node_id BETWEEN 20 AND 80 OR node_id = 5)");
}

}  // namespace
}  // namespace quorlan::testing
