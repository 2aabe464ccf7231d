// Answers from a private snmpd through the poll scheduler and the response handlers into the
// trend-data tables of a SQLite suite database.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "responses/response_harness.h"
#include "support/fake_sql_server.h"

namespace quorlan {
namespace {

using testing::Answer;
using testing::At;
using ::testing::ElementsAre;
using testing::Fields;
using ::testing::HasSubstr;
using testing::kMissingOid;
using testing::SnmpdOid;

const std::string kSnmpdEngineText = "8001F8847472656E6474657374";

class SnmpdResponseTest : public testing::ResponseTest {
 protected:
  static void SetUpTestSuite() { snmpd_ = std::make_unique<testing::SnmpdPeer>("", true); }
  static void TearDownTestSuite() { snmpd_.reset(); }

  TrendListEntry& AddV3Entry(const std::vector<std::string>& oids) {
    rs.SecProfileList[1] = {"noauthuser", 0, "", 0, "", 0};
    TrendListEntry& e = AddEntry(snmpd_->port(), oids, 3);
    e.PollSnmpV3User = "noauthuser";
    return e;
  }

  static inline std::unique_ptr<testing::SnmpdPeer> snmpd_;
};

TEST_F(SnmpdResponseTest, SamplesOverFourMinuteBoundaries) {
  snmpd_->SetValues(
      ".1.3.6.1.4.1.32473.2.1.0 counter 4294966995\n.1.3.6.1.4.1.32473.2.2.0 string hello\n"
      ".1.3.6.1.4.1.32473.2.3.0 gauge 42\n.1.3.6.1.4.1.32473.2.4.0 string -3.5\n"
      ".1.3.6.1.4.1.32473.2.5.0 string 2.5\n.1.3.6.1.4.1.32473.2.6.0 string 0.4\n");
  rs.DebugMode = true;
  DebugFilePrep(rs);
  TrendListEntry& e =
      AddEntry(snmpd_->port(), {SnmpdOid(1), SnmpdOid(1), SnmpdOid(2), SnmpdOid(3)});
  e.PollObjType[1] = e.PollObjType[2] = 3;
  e.PollObjEval[2] = "$value*8/$time";
  TrendListEntry& rounding = AddEntry(snmpd_->port(), {SnmpdOid(4), SnmpdOid(5), SnmpdOid(6)});
  TrendListEntry& v3 = AddV3Entry({SnmpdOid(3)});

  PollAt(At(1));
  EXPECT_THAT(Samples(), ElementsAre("101 2026-12-07 10:01:00 0 0 0 42 0 0",
                                     "102 2026-12-07 10:01:00 -4 3 0 0 0 0",
                                     "103 2026-12-07 10:01:00 42 0 0 0 0 0"))
      << snmpd_->Log();
  EXPECT_EQ(e.PollSampledValue[3], -1) << "a string is not numeric";
  rounding.PollInterval = v3.PollInterval = 0;  // polled once

  // The counter's increase stays exact above 2^24 (single precision would make it 256).
  const std::vector<std::pair<std::string, std::string>> polls = {
      {"4294967295", "300 40"},  // the increase, and $value*8/$time = 300*8/60
      {"100", "0 0"},            // the counter went back: 0, and 100 is the new base
      {"250", "150 20"},
  };
  int minute = 2;
  for (const auto& [counter, saved] : polls) {
    snmpd_->SetValues(
        ".1.3.6.1.4.1.32473.2.1.0 counter " + counter +
        "\n.1.3.6.1.4.1.32473.2.2.0 string hello\n.1.3.6.1.4.1.32473.2.3.0 gauge 42\n");
    PollAt(At(minute));
    EXPECT_EQ(Samples().back(), fmt::format("101 2026-12-07 10:0{}:00 {} 0 42 0 0", minute, saved));
    ++minute;
  }
  EXPECT_EQ(Samples().size(), 6u);
  EXPECT_FALSE(e.PollPending);
  EXPECT_EQ(e.PollMessId, 0);
  EXPECT_EQ(e.PollNextTime, At(5));
  EXPECT_EQ(rs.Pending, 0);
  EXPECT_EQ(rs.PendingV3, 0);

  // The answer's row shows the entry before PollMessId is cleared.
  std::vector<std::string> row = Fields(Trace(kTraceSnmpResp).back());
  ASSERT_EQ(row.size(), 76u);
  EXPECT_EQ(row[1], " <-- snmpResp");
  EXPECT_EQ(row[9], "1000006");
  EXPECT_EQ(row[11], "");
  EXPECT_EQ(row[14], "0");
  EXPECT_EQ(std::vector<std::string>(row.begin() + 20, row.begin() + 22),
            (std::vector<std::string>{"250", "150"}));
  EXPECT_EQ(row[29], "$value*8/$time");
  EXPECT_EQ(row[31], "20");
  row = Fields(Trace(kTraceSnmpRespV3).back());
  ASSERT_EQ(row.size(), 76u);
  EXPECT_EQ(row[1], " <-- snmpResp");
  EXPECT_EQ(row[11], kSnmpdEngineText);
  EXPECT_EQ(row[21], "42");
}

TEST_F(SnmpdResponseTest, AnObjectTheDeviceLacksStoresZeroAndAnErrorStatusKeepsTheRowOut) {
  snmpd_->SetValues(".1.3.6.1.4.1.32473.2.1.0 counter 500\n.1.3.6.1.4.1.32473.2.3.0 gauge 42\n");
  rs.DebugMode = true;
  TrendListEntry& v1 = AddEntry(snmpd_->port(), {SnmpdOid(3), kMissingOid}, 1);
  TrendListEntry& v3 = AddV3Entry({kMissingOid});
  TrendListEntry& v2 = AddEntry(snmpd_->port(), {SnmpdOid(1), kMissingOid});
  v2.PollNextTime = At(2);
  v2.PollObjType[1] = 3;
  v2.PollSampledValue[1] = 7;
  v2.PollSavedValue[1] = 5;
  v2.PollSampledValue[2] = 9;
  v2.PollSavedValue[2] = 3;

  // SNMPv1 noSuchName: the error row in its long form, no row. SNMPv3 noSuchObject: the row is
  // kept with 0 for the object.
  PollAt(At(1));
  EXPECT_THAT(Fields(Trace(kTraceSnmpResp).at(0)),
              ElementsAre(::testing::_, " <-- snmpRespErr", "SnmpPoll", "60", "101", "Report 1",
                          "41", "node1", "127.0.0.1", "1000001", "1", "", "0", "0", "0",
                          ::testing::_, "[ERROR]:2", "[DESCR]:noSuchName"));
  EXPECT_EQ(Fields(Trace(kTraceSnmpRespV3).at(0))[1], " <-- snmpResp");
  v1.PollInterval = v3.PollInterval = 0;

  // SNMPv2c noSuchObject beside a counter: the counter's increase is stored, the other object 0.
  PollAt(At(2));
  EXPECT_EQ(Fields(Trace(kTraceSnmpResp).at(1))[1], " <-- snmpResp");
  EXPECT_EQ(v2.PollSavedValue[1], 493);
  EXPECT_EQ(v2.PollSampledValue[2], -1);
  EXPECT_EQ(v2.PollSavedValue[2], 0);
  for (const TrendListEntry* e : {&v1, &v2, &v3}) {
    EXPECT_FALSE(e->PollPending);
    EXPECT_EQ(e->PollMessId, 0);
    EXPECT_EQ(e->PollNextTime, e == &v2 ? At(3) : At(2));
  }
  EXPECT_EQ(rs.Pending, 0);
  EXPECT_EQ(rs.PendingV3, 0);
  const std::vector<std::string> rows = Samples();
  ASSERT_EQ(rows.size(), 2u) << ::testing::PrintToString(rows);
  EXPECT_THAT(rows[0], ::testing::StartsWith("102 "));
  EXPECT_THAT(rows[0], ::testing::EndsWith(" 0 0 0 0 0 0"));
  EXPECT_THAT(rows[1], ::testing::StartsWith("103 "));
  EXPECT_THAT(rows[1], ::testing::EndsWith(" 493 0 0 0 0 0"));
  // One event per report names the object and the device's answer.
  EXPECT_THAT(Events(),
              ::testing::UnorderedElementsAre(
                  ::testing::HasSubstr("ReportId 101: object 2 \"Object 2\" "
                                       "(1.3.6.1.4.1.32473.9.1.0): the device answered "
                                       "the error status noSuchName (2) at index 2; no row"),
                  ::testing::HasSubstr("ReportId 102: object 1 \"Object 1\" "
                                       "(1.3.6.1.4.1.32473.9.1.0): the device answered "
                                       "noSuchObject; 0 stored"),
                  ::testing::HasSubstr("ReportId 103: object 2 \"Object 2\" "
                                       "(1.3.6.1.4.1.32473.9.1.0): the device answered "
                                       "noSuchObject; 0 stored")));

  // An SNMPv3 error status (net-snmp answers none in SNMPv3): the short form.
  v3.PollMessId = 1000060;
  rs.PendingV3 = 1;
  snmpMgrV3_Response(rs, Answer(1000060, {"NULL"}, 5, "genErr"));
  EXPECT_THAT(Fields(Trace(kTraceSnmpRespV3).at(1)),
              ElementsAre(::testing::_, " <-- snmpRespErr", "SnmpPoll", "1000060", "42", "node2",
                          "127.0.0.1", "0", "0", "[ERROR]:5", "[DESCR]:genErr"));
  EXPECT_EQ(v3.PollMessId, 0);
  EXPECT_EQ(Samples().size(), 2u) << "an error status stores no row";
}

TEST_F(SnmpdResponseTest, StaleAnswersChangeNothingAndADeletedReportGetsNoRow) {
  rs.DebugMode = true;
  TrendListEntry& idle = AddEntry(snmpd_->port(), {SnmpdOid(3)});
  const DateTime next = idle.PollNextTime;
  TrendListEntry& deleted = AddEntry(snmpd_->port(), {SnmpdOid(3)});
  deleted.PollType = kPollTypeDeleted;
  deleted.PollMessId = 1000050;
  deleted.PollPending = true;
  rs.Pending = 1;
  // An answer to an abandoned request, and one with id 0 (which no request ever has, while
  // every idle entry holds 0).
  for (int32_t id : {1000049, 0}) snmpManager_Response(rs, Answer(id, {"77"}));
  EXPECT_EQ(idle.PollSampledValue[1], -1);
  EXPECT_EQ(idle.PollNextTime, next);
  EXPECT_TRUE(deleted.PollPending);
  EXPECT_EQ(rs.Pending, 1);
  EXPECT_TRUE(Trace(kTraceSnmpResp).empty());
  EXPECT_TRUE(recorder->Statements().empty());

  // An answer with fewer objects than the entry polls: the missing one counts as without value.
  idle.PollNumObjects = 2;
  idle.PollSampledValue[2] = 12;
  idle.PollMessId = 1000048;
  rs.Pending = 2;
  snmpManager_Response(rs, Answer(1000048, {"77"}));
  EXPECT_EQ(Fields(Trace(kTraceSnmpResp).at(0))[1], " <-- snmpRespNull");
  EXPECT_EQ(idle.PollSampledValue[1], -1);
  EXPECT_EQ(idle.PollSampledValue[2], -1);
  EXPECT_EQ(rs.Pending, 1);

  // The note of the entry a request id was sent for is checked, not trusted: one left pointing at
  // another entry (a list rebuilt since) falls back to the walk.
  NoteMessId(rs, 1000050, 1);
  snmpManager_Response(rs, Answer(1000050, {"77"}));
  EXPECT_FALSE(deleted.PollPending);
  EXPECT_EQ(deleted.PollMessId, 0);
  EXPECT_EQ(deleted.PollSampledValue[1], -1) << "no values for a deleted report";
  EXPECT_EQ(rs.Pending, 0);
  ASSERT_EQ(Trace(kTraceSnmpResp).size(), 2u);
  EXPECT_EQ(Fields(Trace(kTraceSnmpResp)[1])[1], " <-- snmpResp");
  EXPECT_TRUE(recorder->Statements().empty());
  EXPECT_TRUE(Events().empty());
}

// An expression written straight into the database, far beyond what the engine takes: the row is
// kept and the event quotes the expression's first 100 bytes and its length.
TEST_F(SnmpdResponseTest, ALongRefusedExpressionIsQuotedByItsFirstBytes) {
  snmpd_->SetValues(".1.3.6.1.4.1.32473.2.3.0 gauge 42\n");
  TrendListEntry& e = AddEntry(snmpd_->port(), {SnmpdOid(3)});
  std::string eval = "$value";
  std::string quoted = "42";
  for (int i = 0; i < 40000; ++i) eval += "+1";
  e.PollObjEval[1] = eval;
  for (int i = 0; i < 49; ++i) quoted += "+1";
  PollAt(At(1));
  EXPECT_THAT(Samples(), ElementsAre("101 2026-12-07 10:01:00 0 0 0 0 0 0"));
  const std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_THAT(events[0], HasSubstr("ObjEval1 \"" + quoted +
                                   "...\" (80002 bytes): Expression of 80002 bytes is longer than "
                                   "the limit of 4096; 0 stored"));
}

// An expression that the engine refuses (100/$value of a reading 0) costs only its own object's
// value: the row is stored with 0 for it, and the refusal is one event a report and hour.
TEST_F(SnmpdResponseTest, ARefusedExpressionStoresZeroForItsObjectAndKeepsTheRow) {
  const auto values = [](int reading) {
    return fmt::format(
        ".1.3.6.1.4.1.32473.2.1.0 gauge {}\n.1.3.6.1.4.1.32473.2.3.0 gauge 42\n"
        ".1.3.6.1.4.1.32473.2.4.0 string -5\n",
        reading);
  };
  TrendListEntry& e = AddEntry(snmpd_->port(), {SnmpdOid(1), SnmpdOid(3), SnmpdOid(4)});
  e.PollObjEval[1] = "100/$value";
  e.PollObjEval[3] = "$value^2";  // VBScript squares the negative reading: 25
  snmpd_->SetValues(values(0));
  PollAt(At(1));
  snmpd_->SetValues(values(4));
  PollAt(At(2));
  snmpd_->SetValues(values(0));
  PollAt(At(3));
  rs.LastHour = 11;
  PollAt(DateTime::FromCivil({2026, 12, 7, 11, 2, 0}));
  EXPECT_THAT(
      Samples(),
      ElementsAre("101 2026-12-07 10:01:00 0 42 25 0 0 0", "101 2026-12-07 10:02:00 25 42 25 0 0 0",
                  "101 2026-12-07 10:03:00 0 42 25 0 0 0", "101 2026-12-07 11:02:00 0 42 25 0 0 0"))
      << snmpd_->Log();
  EXPECT_EQ(e.PollSampledValue[1], 0) << "the reading itself was good";
  EXPECT_EQ(rs.Pending, 0);
  const std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 3u) << ::testing::PrintToString(events);
  EXPECT_THAT(events[0], HasSubstr("1\tfrmQuorlanTrend_snmpManager_Response\tReportId 101: "
                                   "ObjEval1 \"100/0\": Division by zero at position 4; 0 stored"));
  EXPECT_THAT(events[1], HasSubstr("\t1 more refused expressions of report 101 in the hour from "
                                   "2026-12-07 10:01:00."));
  EXPECT_THAT(events[2], HasSubstr("\tReportId 101: ObjEval1 \"100/0\""));
}

// A report whose interval has no table: the answer closes its request as any other, and the
// database's refusal sets the row aside instead of losing it.
TEST_F(SnmpdResponseTest, ARowWithoutATableIsSetAsideAndTheRequestCloses) {
  snmpd_->SetValues(".1.3.6.1.4.1.32473.2.3.0 gauge 42\n");
  TrendListEntry& e = AddEntry(snmpd_->port(), {SnmpdOid(3)});
  e.PollInterval = 120;
  PollAt(At(1));
  EXPECT_FALSE(e.PollPending);
  EXPECT_EQ(e.PollMessId, 0);
  EXPECT_EQ(rs.Pending, 0);
  EXPECT_TRUE(Samples().empty());
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_THAT(Events()[0], HasSubstr("1\tmodQuorlanTrend_TrendSampleRecord\t1 sample row(s) "
                                     "refused by the suite database 3 times were set aside"));
  EXPECT_THAT(Events()[0], HasSubstr("no such table: TrendData2"));
  const std::vector<std::string> rejects = ReadLines(rs.AppPath + "/Spool/rejects.txt");
  ASSERT_EQ(rejects.size(), 1u);
  EXPECT_THAT(rejects[0], HasSubstr("\tTrendData2\t101\t2026-12-07 10:01:00\t42\t0\t0\t0\t0\t0\t"));
}

// A suite database that cannot be opened for a while (a file removed, a volume not mounted):
// the answers close their requests as always, their rows wait in the spool, the outage is one
// error event, and when the database is back the rows are recorded with their own time stamps.
TEST_F(SnmpdResponseTest, AnOutageOfTheDatabaseIsOneEventAndItsRowsAreRecordedWhenItIsBack) {
  snmpd_->SetValues(".1.3.6.1.4.1.32473.2.3.0 gauge 42\n");
  recorder->FailOpens(testing::RecordingDatabase::FailureMode::kRaise);
  for (int i = 0; i < 3; ++i) AddEntry(snmpd_->port(), {SnmpdOid(3)});
  PollAt(At(1));
  PollAt(At(2));
  EXPECT_EQ(rs.Pending, 0) << "every answer closed its request";
  EXPECT_EQ(rs.TrendList[1].PollSampledValue[1], 42);
  rs.SampleRecorder.CommitBatch();
  EXPECT_EQ(rs.SampleRecorder.Status().rows, 6);
  EXPECT_EQ(std::count(recorder->log().begin(), recorder->log().end(), std::string("open")), 1)
      << "only the first batch tried the database";
  recorder->StopFailingOpens();
  wall.Skip(15000);
  ASSERT_TRUE(WaitFor([this] { return !rs.SampleRecorder.DatabaseOut(); }));
  EXPECT_EQ(Samples(), (std::vector<std::string>{
                           "101 2026-12-07 10:01:00 42 0 0 0 0 0",
                           "102 2026-12-07 10:01:00 42 0 0 0 0 0",
                           "103 2026-12-07 10:01:00 42 0 0 0 0 0",
                           "101 2026-12-07 10:02:00 42 0 0 0 0 0",
                           "102 2026-12-07 10:02:00 42 0 0 0 0 0",
                           "103 2026-12-07 10:02:00 42 0 0 0 0 0",
                       }));
  const std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 2u) << ::testing::PrintToString(events);
  EXPECT_THAT(events[0], HasSubstr("1\tmodQuorlanTrend_TrendSampleRecord\tThe suite database is "
                                   "out: ODBC HY000 open: injected failure"));
  EXPECT_THAT(events[1], HasSubstr("3\tmodQuorlanTrend_TrendSampleRecord\t6 sample row(s) "
                                   "recorded from the spool"));
}

// The suite database on a SQL Server that stops answering between two polls (FreeTDS against a
// TDS endpoint that completes logins and then answers nothing): the batch ends within the
// recorder's short wait, the outage is one error event, and the rows are recorded when a
// database answers again.
TEST_F(SnmpdResponseTest, ASqlServerThatStopsAnsweringIsOneEventAndRecordingResumes) {
  snmpd_->SetValues(".1.3.6.1.4.1.32473.2.3.0 gauge 42\n");
  for (int i = 0; i < 2; ++i) AddEntry(snmpd_->port(), {SnmpdOid(3)});
  PollAt(At(1));
  ASSERT_EQ(Samples().size(), 2u);
  testing::FakeTdsServer server;
  const std::shared_ptr<DatabaseDriver> sqlite = rs.Db;
  const std::string sqlite_string = rs.DbConnStringSql;
  rs.Db = NewOdbcDriver();
  rs.DbConnStringSql = "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(server.port()) +
                       ";UID=sa;PWD=secret;TDS_Version=7.4";
  const auto start = std::chrono::steady_clock::now();
  PollAt(At(2));
  rs.SampleRecorder.CommitBatch();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(rs.SampleRecorder.DatabaseOut());
  EXPECT_EQ(server.logins(), 1);
  rs.Db = sqlite;
  rs.DbConnStringSql = sqlite_string;
  PollAt(At(3));
  rs.SampleRecorder.CommitBatch();
  wall.Skip(15000);
  ASSERT_TRUE(WaitFor([this] { return !rs.SampleRecorder.DatabaseOut(); }));
  const std::vector<std::string> events = Events();
  ASSERT_EQ(events.size(), 2u) << ::testing::PrintToString(events);
  EXPECT_THAT(events[0], HasSubstr("1\tmodQuorlanTrend_TrendSampleRecord\tThe suite database is "
                                   "out: ODBC "));
  EXPECT_THAT(events[1], HasSubstr("\t4 sample row(s) recorded from the spool"));
  EXPECT_EQ(Samples().size(), 6u);
}

TEST_F(SnmpdResponseTest, ATraceThatCannotBeWrittenKeepsTheAnswer) {
  rs.DebugMode = true;
  dir.MakeDir("Debug/" + std::string(kTraceSnmpResp));  // a folder where the file should be
  TrendListEntry& e = AddEntry(snmpd_->port(), {SnmpdOid(3)});
  rs.Pending = 3;  // other requests are out too
  for (const int32_t id : {1000077, 1000078}) {
    e.PollMessId = id;
    e.PollPending = true;
    snmpManager_Response(rs, Answer(id, {"42"}));
  }
  EXPECT_EQ(rs.Pending, 1);
  EXPECT_FALSE(e.PollPending);
  EXPECT_EQ(e.PollMessId, 0);
  EXPECT_EQ(Samples().size(), 2u);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_THAT(Events()[0], HasSubstr("\tfrmQuorlanTrend_snmpManager_Response\tTrace row not "
                                     "written to T-SnmpResp.txt: "));
}

}  // namespace
}  // namespace quorlan
