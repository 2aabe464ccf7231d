#include "trendlist/trend_db.h"
#include "trendlist/trendlist.h"

namespace quorlan::testing {
namespace {

class DevSyncTest : public TrendDbTest {
 protected:
  void SetUpLoaded() {
    AddNode({.node_id = 1, .node_name = "Core-1"});
    AddNode({.node_id = 2, .node_name = "Edge-2"});
    AddReport({.ReportId = 1, .NodeId = 1, .NodeName = "Core-1", .TriggerAlarm = {{2, "1"}}});
    AddReport({.ReportId = 2, .NodeId = 1, .NodeName = "Core-1"});
    AddReport({.ReportId = 3, .NodeId = 2, .NodeName = "Edge-2"});
    TrendListCreate(st);
    ASSERT_EQ(st.TrendListCount, 3);
    recorder->log().clear();
  }
};

TEST_F(DevSyncTest, NodeTakenOutOfTrendReportingDeletesItsReports) {
  SetUpLoaded();
  Exec("UPDATE ATR_Nodes SET TrendReports = '0' WHERE node_id = 1");
  TrendListDevSync(st);
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(Entry(1).PollType, "Deleted");
  EXPECT_EQ(Entry(2).PollType, "Deleted");
  EXPECT_EQ(Entry(3).PollType, "SnmpPoll");
  EXPECT_EQ(Flag(1), "<none>");
  EXPECT_EQ(Flag(2), "<none>");
  EXPECT_EQ(Flag(3), "0");
  EXPECT_EQ(recorder->Statements(),
            (std::vector<std::string>{"SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'",
                                      "DELETE FROM TrendReports WHERE ReportId = '1'",
                                      "DELETE FROM TrendReports WHERE ReportId = '2'"}));
  // Deleted entries take part again: found nodes refresh them, the poll type stays.
  Exec("UPDATE ATR_Nodes SET TrendReports = '1', address = '10.5.5.5' WHERE node_id = 1");
  TrendListDevSync(st);
  EXPECT_EQ(Entry(1).Address, "10.5.5.5");
  EXPECT_EQ(Entry(1).PollType, "Deleted");
}

TEST_F(DevSyncTest, CopiesNodeSettingsAndLeavesReportFieldsAlone) {
  SetUpLoaded();
  Entry(1).PollPending = true;
  Entry(1).PollMessId = 1000003;
  Entry(1).PollEngineId = "80001f88";
  Entry(3).PollEngineId = "80001f99";
  Exec(
      "UPDATE ATR_Nodes SET address = '', UdpPort = 1161, image = 1, PollTimeOut = 9, "
      "PollRetries = 0, readcomm = 'r2', trapcomm = 't2', StreetAddress = 'v3user' WHERE "
      "node_id = 1");
  Exec("UPDATE TrendReports SET ReportTitle = 'Changed', PollInterval = 60");
  TrendListDevSync(st);
  const TrendListEntry& e = Entry(1);
  EXPECT_EQ(e.Address, "0.0.0.0");
  EXPECT_EQ(e.UdpPort, 1161);
  EXPECT_EQ(e.SnmpVersion, 3);
  EXPECT_EQ(e.PollTimeOut, 9);
  EXPECT_EQ(e.PollRetries, 0);
  EXPECT_EQ(e.ReadComm, "r2");
  EXPECT_EQ(e.TrapComm, "t2");
  EXPECT_EQ(e.PollSnmpV3User, "v3user");
  EXPECT_EQ(e.ReportTitle, "Report");
  EXPECT_EQ(e.PollInterval, 300);
  EXPECT_TRUE(e.PollPending);
  EXPECT_EQ(e.PollMessId, 1000003);
  // A new SNMP version forgets the engine; an unchanged one keeps it.
  EXPECT_EQ(e.PollEngineId, "");
  EXPECT_EQ(Entry(3).PollEngineId, "80001f99");
  EXPECT_EQ(recorder->Statements().size(), 1u);  // only the node query
}

TEST_F(DevSyncTest, RenamedNodeIsWrittenToItsReportsAtEveryRun) {
  SetUpLoaded();
  Exec("UPDATE ATR_Nodes SET node_name = 'O''Brien''s core' WHERE node_id = 1");
  const std::vector<std::string> expected = {
      "SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'",
      "UPDATE TrendReports SET NodeName = 'O''Brien''s core' WHERE ReportId = '1'",
      "UPDATE TrendReports SET NodeName = 'O''Brien''s core' WHERE ReportId = '2'"};
  TrendListDevSync(st);
  EXPECT_EQ(recorder->Statements(), expected);
  EXPECT_EQ(One("SELECT NodeName FROM TrendReports WHERE ReportId = 2"), "O'Brien's core");
  EXPECT_EQ(One("SELECT COUNT(*) FROM TrendReports WHERE NodeName = 'O''Brien''s core'"), "2");
  EXPECT_EQ(Entry(1).NodeName, "Core-1");  // the entry keeps its name
  recorder->log().clear();
  TrendListDevSync(st);  // and so the update is sent again
  EXPECT_EQ(recorder->Statements(), expected);
  EXPECT_TRUE(Events().empty());
  // A name differing only in letter case is the same name.
  Exec("UPDATE ATR_Nodes SET node_name = 'CORE-1' WHERE node_id = 1");
  recorder->log().clear();
  TrendListDevSync(st);
  EXPECT_EQ(recorder->Statements().size(), 1u);
  // A rebuild reloads the name from the report rows and the updates stop.
  Exec("UPDATE ATR_Nodes SET node_name = 'Core; DROP TABLE ATR_Nodes --' WHERE node_id = 1");
  TrendListDevSync(st);
  EXPECT_EQ(One("SELECT NodeName FROM TrendReports WHERE ReportId = 1"),
            "Core; DROP TABLE ATR_Nodes --");
  TrendListCreate(st);
  EXPECT_EQ(Entry(1).NodeName, "Core; DROP TABLE ATR_Nodes --");
  recorder->log().clear();
  TrendListDevSync(st);
  EXPECT_EQ(recorder->Statements().size(), 1u);
}

TEST_F(DevSyncTest, PollTypeToAnotherWordAndBack) {
  SetUpLoaded();
  Exec("UPDATE ATR_Nodes SET PollType = 'Manual' WHERE node_id = 1");
  TrendListDevSync(st);
  EXPECT_EQ(Entry(1).PollType, "Manual");
  EXPECT_EQ(Entry(2).PollType, "Manual");
  Exec("UPDATE ATR_Nodes SET PollType = 'snmppoll' WHERE node_id = 1");
  TrendListDevSync(st);
  EXPECT_EQ(Entry(1).PollType, "SnmpStatus");  // the entry's own alarm flags decide
  EXPECT_EQ(Entry(2).PollType, "SnmpPoll");
  EXPECT_TRUE(Events().empty());
}

TEST_F(DevSyncTest, NodesBeyondTheSnapshotAreLookedUpBeforeDeleting) {
  // 300 trend-enabled nodes with reports on nodes 1, 300 and 400.
  std::vector<NodeRow> nodes;
  for (int id = 1; id <= 300; ++id) {
    const int node_id = id == 2 ? 400 : id;
    nodes.push_back({.node_id = node_id, .node_name = fmt::format("N{}", node_id)});
  }
  AddNodes(nodes);
  AddReport({.ReportId = 1, .NodeId = 1, .NodeName = "N1"});
  AddReport({.ReportId = 2, .NodeId = 400, .NodeName = "N400"});
  AddReport({.ReportId = 3, .NodeId = 300, .NodeName = "N300"});
  TrendListCreate(st);
  ASSERT_EQ(st.TrendListCount, 3);
  // Node 300 leaves trend reporting (its report goes), node 2 and node 500 join, and node 400
  // now comes last: 301 trend-enabled nodes, and the first 300 returned do not hold node 400.
  Exec("UPDATE ATR_Nodes SET node_id = 2 WHERE node_id = 400");
  Exec("UPDATE ATR_Nodes SET TrendReports = '0' WHERE node_id = 300");
  AddNode({.node_id = 500, .node_name = "N500"});
  AddNode({.node_id = 400, .node_name = "N400", .address = "10.4.0.0"});
  recorder->log().clear();

  TrendListDevSync(st);

  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(Entry(1).PollType, "SnmpPoll");
  EXPECT_EQ(Entry(2).PollType, "SnmpPoll");  // still trend-enabled, found by its id
  EXPECT_EQ(Entry(2).Address, "10.4.0.0");
  EXPECT_EQ(Flag(2), "0");
  EXPECT_EQ(Entry(3).PollType, "Deleted");
  EXPECT_EQ(Flag(3), "<none>");
  EXPECT_EQ(recorder->Statements(),
            (std::vector<std::string>{
                "SELECT TOP (300) * FROM ATR_Nodes WHERE TrendReports = '1'",
                "SELECT TOP (1) * FROM ATR_Nodes WHERE TrendReports = '1' AND node_id = '400'",
                "SELECT TOP (1) * FROM ATR_Nodes WHERE TrendReports = '1' AND node_id = '300'",
                "DELETE FROM TrendReports WHERE ReportId = '3'"}));
}

TEST_F(DevSyncTest, FailuresEndTheRunUnderItsName) {
  SetUpLoaded();
  Exec("UPDATE ATR_Nodes SET node_name = 'Renamed'");
  // The first update fails with an error entry: the run ends, later entries wait for next hour.
  Exec("UPDATE ATR_Nodes SET address = '10.8.8.8' WHERE node_id = 2");
  // The statement after the node query fails.
  recorder->FailStatement(2, RecordingDatabase::FailureMode::kErrorEntry);
  TrendListDevSync(st);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0], "1\tmodQuorlanTrend_TrendListDevSync\t");
  EXPECT_EQ(Entry(3).Address, "10.0.0.1");
  // A NULL node column is a run-time error.
  Exec("UPDATE ATR_Nodes SET readcomm = NULL WHERE node_id = 2");
  TrendListDevSync(st);
  ASSERT_EQ(Events().size(), 2u);
  EXPECT_NE(Events()[1].find("TrendListDevSync\tATR_Nodes node_id 2: Invalid use of Null"),
            std::string::npos)
      << Events()[1];
}

TEST_F(DevSyncTest, DeletedEntriesWriteNoStatement) {
  SetUpLoaded();
  Exec("UPDATE ATR_Nodes SET TrendReports = '0' WHERE node_id = 2");
  TrendListDevSync(st);
  ASSERT_EQ(Entry(3).PollType, "Deleted");
  // A database that gave the id 3 again (one made before ids were kept unique): the new report
  // must not be deleted, nor renamed after the old report's node.
  AddReport({.ReportId = 3, .NodeId = 1, .NodeName = "Core-1"});
  recorder->log().clear();
  TrendListDevSync(st);
  Exec("UPDATE ATR_Nodes SET TrendReports = '1', node_name = 'Edge-3' WHERE node_id = 2");
  TrendListDevSync(st);
  EXPECT_EQ(Flag(3), "0");
  EXPECT_EQ(One("SELECT NodeName FROM TrendReports WHERE ReportId = 3"), "Core-1");
  EXPECT_EQ(Entry(3).PollType, "Deleted");
  for (const std::string& sql : recorder->Statements()) {
    EXPECT_EQ(sql.rfind("SELECT", 0), 0u) << sql;
  }
}

TEST_F(DevSyncTest, AnUnloadableNodeKeepsItsEntriesAndReports) {
  SetUpLoaded();
  Exec("UPDATE ATR_Nodes SET UdpPort = 99999 WHERE node_id = 2");
  TrendListDevSync(st);
  EXPECT_EQ(Entry(3).PollType, "SnmpPoll");
  EXPECT_EQ(Flag(3), "0");
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_NE(Events()[0].find("TrendListDevSync\tATR_Nodes node_id 2: Overflow"), std::string::npos)
      << Events()[0];
}

}  // namespace
}  // namespace quorlan::testing
