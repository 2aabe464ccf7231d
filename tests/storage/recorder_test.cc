// The recorder against a real SQLite suite database (through the ODBC driver): batches committed
// at idle moments, a database locked by another writer for a minute, refused rows set aside.
#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>

#include "storage_fixture.h"
#include "support/fake_sql_server.h"

namespace quorlan {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

DateTime At(int minute, int second = 0) {
  return DateTime::FromCivil({2026, 12, 7, 10, minute, second});
}

SampleRow Row(int report, DateTime t, int32_t interval = 60) {
  SampleRow row;
  row.ReportId = report;
  row.PollInterval = interval;
  row.Time = t;
  row.Values = {static_cast<double>(report), 0, 0, 0, 0, 0};
  return row;
}

class RecorderTest : public testing::StorageTest {
 protected:
  RecorderTest() {
    VerifiyTrendDataTables(st_);
    recording_->log().clear();
    clock_.inner.Set(At(0));
  }
  int64_t Rows() { return Count("SELECT COUNT(*) FROM TrendData1"); }
  // A loop turn with nothing ready: the recorder's idle task runs. Returns its wall time in ms.
  int64_t Idle() {
    const auto start = std::chrono::steady_clock::now();
    loop_.RunOnce(0);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  }
  Recorder& recorder() { return st_.SampleRecorder; }
};

// The rows of one turn are one transaction; a batch also commits at 100 ms after its first row
// or at its 1000th, and before any other statement on the suite database.
TEST_F(RecorderTest, ABatchCommitsWhenTheLoopIsIdleAtTheLatestAfter100MsOr1000Rows) {
  for (int i = 0; i < 21; ++i) recorder().Record(Row(i, At(0)));
  EXPECT_EQ(Rows(), 0) << "nothing is committed while the turn goes on";
  Idle();
  EXPECT_EQ(Rows(), 21);
  const auto insert = [](int rows) {
    std::string sql = "INSERT INTO TrendData1 VALUES (?,?,?,?,?,?,?,?)";
    for (int i = 1; i < rows; ++i) sql += ",(?,?,?,?,?,?,?,?)";
    return sql;
  };
  EXPECT_THAT(recording_->Statements(), ElementsAre("BEGIN TRANSACTION", insert(16), insert(4),
                                                    insert(1), "COMMIT TRANSACTION"));

  recorder().Record(Row(20, At(0, 1)));
  clock_.inner.Advance(99);
  recorder().Record(Row(21, At(0, 1)));
  EXPECT_EQ(Rows(), 21);
  clock_.inner.Advance(1);
  recorder().Record(Row(22, At(0, 1)));
  EXPECT_EQ(Rows(), 24) << "100 ms after the batch's first row";

  for (int i = 0; i < 999; ++i) recorder().Record(Row(1000 + i, At(0, 2)));
  EXPECT_EQ(Rows(), 24);
  recorder().Record(Row(1999, At(0, 2)));
  EXPECT_EQ(Rows(), 1024) << "at the 1000th row";

  recorder().Record(Row(5, At(0, 3)));
  auto conn = OpenSuiteConnection(st_);
  EXPECT_EQ(ExecuteQuery(*conn, "SELECT COUNT(*) FROM TrendData1")->Field(0).AsInt32(), 1025)
      << "another statement commits the open batch first";
  EXPECT_EQ(recorder().Counts().recorded, 1025);
  EXPECT_TRUE(Events().empty());
}

// While answers are outstanding, the rows of a burst wait for one another: the lulls between
// answers commit nothing, the last answer's idle moment commits them in one transaction, and a
// batch held for answers that do not come commits within 100 ms of its first row, in a pause too
// (whose steps run timers only every 10 ms).
TEST_F(RecorderTest, TheRowsOfABurstOfAnswersShareOneTransaction) {
  int outstanding = 3;
  st_.RowsExpected = [&] { return outstanding > 0; };
  for (int i = 0; i < 3; ++i) {
    recorder().Record(Row(i, At(0)));
    --outstanding;
    recorder().AnswerHandled();
    Idle();
    EXPECT_EQ(Rows(), i < 2 ? 0 : 3) << "after answer " << i + 1;
  }
  const std::vector<std::string> statements = recording_->Statements();
  EXPECT_EQ(std::count(statements.begin(), statements.end(), "BEGIN TRANSACTION"), 1);

  outstanding = 1;
  for (const int pause_from_ms : {-1, 0, 5}) {
    SCOPED_TRACE(pause_from_ms);
    const int64_t before = Rows();
    const int64_t first_row_ms = clock_.inner.MonotonicMs();
    recorder().Record(Row(9, At(1)));
    recorder().AnswerHandled();
    Idle();
    int64_t committed_ms = -1;
    if (pause_from_ms < 0) {
      clock_.inner.Advance(79);
      Idle();
      EXPECT_EQ(Rows(), before);
      clock_.inner.Advance(21);
      Idle();
      committed_ms = clock_.inner.MonotonicMs();
    } else {
      clock_.inner.Advance(pause_from_ms);
      while (Rows() == before && clock_.inner.MonotonicMs() - first_row_ms < 200) loop_.WaitMs(10);
      committed_ms = clock_.inner.MonotonicMs();
    }
    EXPECT_EQ(Rows(), before + 1);
    EXPECT_LE(committed_ms - first_row_ms, kBatchMs);
  }
}

// The rows as the trend-data tables have always held them: whole numbers rounded with halves
// away from zero, the time as text, a number beyond bigint as SQLite takes it.
TEST_F(RecorderTest, RowsAreStoredAsBefore) {
  SampleRow row = Row(17, At(3, 5), 300);
  row.Values = {120, -3.5, 2.5, 0.4, 1e20, -0.4};
  recorder().Record(row);
  Idle();
  auto conn = direct_->NewConnection();
  conn->Open(st_.DbConnStringSql, kDbConnectTimeoutSeconds);
  auto rows = ExecuteQuery(*conn,
                           "SELECT ReportId, typeof(ReportId), Time, Value1, Value2, Value3, "
                           "Value4, typeof(Value5), Value6 FROM TrendData5");
  std::vector<std::string> fields;
  for (int i = 0; i < rows->FieldCount(); ++i) fields.push_back(rows->FieldAt(i).AsString());
  EXPECT_THAT(fields, ElementsAre("17", "integer", "2026-12-07 10:03:05", "120", "-4", "3", "0",
                                  "real", "0"));
}

// The suite database locked by another writer for a minute: the first batch waits one short
// lock wait, then every row goes to the spool without touching the database, other operations
// are refused at once, and the probe every 15 s replays the rows, with their own time stamps,
// once the lock is gone.
TEST_F(RecorderTest, ADatabaseLockedForAMinuteLosesNoRowAndTheRowsKeepTheirTimeStamps) {
  auto writer = direct_->NewConnection();
  writer->Open(st_.DbConnStringSql, kDbConnectTimeoutSeconds);
  writer->Execute("BEGIN EXCLUSIVE");
  for (int second = 0; second < 60; second += 10) {
    clock_.inner.Set(At(1, second));
    for (int report = 1; report <= 5; ++report) recorder().Record(Row(report, At(1, second)));
    const int64_t ms = Idle();
    EXPECT_LT(ms, second == 0 ? 1000 : 50) << "the loop held at " << second << " s";
    EXPECT_TRUE(recorder().DatabaseOut());
  }
  EXPECT_EQ(std::count(recording_->log().begin(), recording_->log().end(), "BEGIN TRANSACTION"), 1)
      << "only the first batch tried the database";
  try {
    OpenSuiteConnection(st_);
    ADD_FAILURE() << "an operation ran while the database was out";
  } catch (const RuntimeError& e) {
    EXPECT_THAT(e.description(), HasSubstr("Not run: the suite database is out since 10:01:00"));
  }
  const SpoolStatus held = recorder().Status();
  EXPECT_EQ(held.rows, 30);
  EXPECT_EQ(held.oldest, At(1, 0));
  clock_.inner.Advance(15000);
  loop_.RunOnce(0);  // a probe while still locked
  EXPECT_EQ(recorder().Status().rows, 30);

  writer->Execute("COMMIT");
  clock_.inner.Advance(15000);
  loop_.RunOnce(0);  // the probe replays
  EXPECT_FALSE(recorder().DatabaseOut());
  EXPECT_EQ(recorder().Status().rows, 0);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TrendData1 WHERE Time LIKE '2026-12-07 10:01:%'"), 30);
  EXPECT_EQ(Count("SELECT COUNT(DISTINCT Time) FROM TrendData1"), 6);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM TrendSpool"), 0) << "the replayed segment's row is gone";
  const auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "modQuorlanTrend_TrendSampleRecord");
  EXPECT_THAT(events[0].message, HasSubstr("database is locked"));
  EXPECT_EQ(events[1].type, "3");
  EXPECT_THAT(events[1].message,
              HasSubstr("30 sample row(s) recorded from the spool; the suite database was out "
                        "for 80 s (from 10:01:00 to 10:02:20)"));
  recorder().Record(Row(9, At(2, 21)));
  Idle();
  EXPECT_EQ(Rows(), 31) << "recording is direct again";
}

// A row the database refuses for itself (its table does not exist) does not hold up the others:
// it is tried three times and set aside in Spool/rejects.txt, with one event that says why.
TEST_F(RecorderTest, ARefusedRowIsSetAsideAndTheOthersAreRecorded) {
  recorder().Record(Row(1, At(0)));
  recorder().Record(Row(2, At(0), 120));
  recorder().Record(Row(3, At(0)));
  Idle();
  EXPECT_EQ(Rows(), 2);
  EXPECT_FALSE(recorder().DatabaseOut());
  const std::vector<std::string> rejects = ReadLines(dir_.File("Spool/rejects.txt"));
  ASSERT_EQ(rejects.size(), 1u);
  EXPECT_THAT(rejects[0], HasSubstr("\tTrendData2\t2\t2026-12-07 10:00:00\t2\t0\t0\t0\t0\t0\t"));
  EXPECT_THAT(rejects[0], HasSubstr("no such table: TrendData2"));
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_THAT(events[0].message,
              HasSubstr("1 sample row(s) refused by the suite database 3 times were set aside "
                        "in Spool/rejects.txt: "));
  EXPECT_EQ(recorder().Counts().rejected, 1);
}

// On SQL Server (the TDS endpoint of tests/support, answering from a SQLite file, through the
// real FreeTDS driver) a batch goes out in three round trips: the rows of a table as one INSERT
// between BEGIN and COMMIT. A server that stops answering costs one short wait; once it answers
// again, the probe replays the rows.
TEST_F(RecorderTest, OnSqlServerABatchIsThreeRoundTripsAndASilentServerCostsOneShortWait) {
  const std::string server_db = dir_.File("server.db");
  {
    auto conn = direct_->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + server_db, kDbConnectTimeoutSeconds);
    conn->Execute(
        "CREATE TABLE TrendData1 (ReportId int NOT NULL, Time datetime NOT NULL, "
        "Value1 bigint, Value2 bigint, Value3 bigint, Value4 bigint, Value5 bigint, "
        "Value6 bigint)");
  }
  testing::FakeTdsServer server(testing::FakeTdsServer::Mode::kSqlite, server_db);
  st_.DbConnStringSql = "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(server.port()) +
                        ";UID=sa;PWD=secret;TDS_Version=7.4";
  const auto server_rows = [&] {
    auto conn = direct_->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + server_db, kDbConnectTimeoutSeconds);
    return ExecuteQuery(*conn, "SELECT COUNT(*) FROM TrendData1")->Field(0).AsInt32();
  };
  for (int i = 0; i < 300; ++i) recorder().Record(Row(i, At(0)));
  const int batches = server.batches();
  Idle();
  EXPECT_EQ(server.batches() - batches, 3);
  EXPECT_EQ(server_rows(), 300);
  const std::vector<std::string> statements = recording_->Statements();
  ASSERT_EQ(statements.size(), 3u);
  EXPECT_EQ(statements[1].rfind("INSERT INTO TrendData1 VALUES ('0','2026-12-07T10:00:00','0','0',"
                                "'0','0','0','0'),('1',",
                                0),
            0u)
      << statements[1].substr(0, 200);

  server.SetSilent(true);
  clock_.inner.Set(At(1));
  for (int i = 0; i < 5; ++i) recorder().Record(Row(i, At(1)));
  EXPECT_LT(Idle(), 1500) << "one wait of 1 s for the server";
  EXPECT_TRUE(recorder().DatabaseOut());
  EXPECT_EQ(recorder().Status().rows, 5);
  server.SetSilent(false);
  clock_.inner.Advance(15000);
  loop_.RunOnce(0);
  EXPECT_FALSE(recorder().DatabaseOut());
  EXPECT_EQ(server_rows(), 305);
  ASSERT_EQ(Events().size(), 2u);
  EXPECT_EQ(Events()[1].type, "3");
}

}  // namespace
}  // namespace quorlan
