// An installation whose suite database is on a private PostgreSQL server: made by the console's
// init with a password from a file, polling a private snmpd over SNMPv3 into it, the retention's
// chunked delete, and a server restart during polling that loses no row.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "service/service.h"
#include "storage/storage.h"
#include "support/ci.h"
#include "support/event_log.h"
#include "support/fakes.h"
#include "support/postgres_server.h"
#include "support/process.h"
#include "support/recording_database.h"
#include "support/snmp_peers.h"
#include "support/stepped_clock.h"
#include "support/temp_dir.h"

// psqlODBC loses a few hundred bytes of its own when the server refuses a prepared statement (a
// row whose table does not exist); the leak checker of the sanitizer build is told to pass over
// the driver's allocations.
extern "C" const char* __lsan_default_suppressions() { return "leak:psqlodbcw.so\n"; }

namespace quorlan {
namespace {

DateTime At(int minute) { return DateTime::FromCivil({2026, 12, 7, 10, minute, 0}); }

constexpr const char* kGaugeOid = ".1.3.6.1.4.1.32473.2.1.0";
// A password with a ';' and a blank at its end, which the stored string must keep in braces.
constexpr const char* kPassword = "own;er pw ";

class PostgresTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing::PostgresServer::Unavailable().empty()) return;
    server_ = std::make_unique<testing::PostgresServer>();
    // The tables' owner: the database's owner, who may create tables in its schema public.
    server_->Sql({fmt::format("CREATE ROLE trendowner LOGIN PASSWORD '{}'", kPassword),
                  "ALTER DATABASE quorlan OWNER TO trendowner"},
                 "postgres");
    server_->Sql(
        {"CREATE ROLE trendservice LOGIN PASSWORD 'servicepw' NOSUPERUSER NOCREATEDB "
         "NOCREATEROLE",
         "GRANT CONNECT ON DATABASE quorlan TO trendservice"});
    server_->RequirePasswords();
    snmpd_ = std::make_unique<testing::SnmpdPeer>(fmt::format("{} gauge 42\n", kGaugeOid), true);
  }
  static void TearDownTestSuite() {
    snmpd_.reset();
    server_.reset();
  }

  void SetUp() override {
    if (!server_) SKIP_OR_FAIL_UNDER_CI(testing::PostgresServer::Unavailable());
    server_->Sql({"DROP OWNED BY trendowner"});  // each test on a fresh suite
    dir_.Write("pw", std::string(kPassword) + "\n");
  }

  // quorlan-trendctl with the words given (one string, shell-quoted where needed).
  testing::ProcessResult Ctl(const std::string& words) {
    return testing::RunCommand(dir_.path(),
                               "'" + testing::BuiltExecutable("quorlan-trendctl") + "' " + words);
  }
  std::string Database() const { return server_->ConnectionString("trendowner"); }
  // init of an installation in the folder name on the server's database.
  testing::ProcessResult Init(const std::string& name) {
    return Ctl(fmt::format("init '{}' --database '{}' --password-file '{}'", dir_.File(name),
                           Database(), dir_.File("pw")));
  }

  static inline std::unique_ptr<testing::PostgresServer> server_;
  static inline std::unique_ptr<testing::SnmpdPeer> snmpd_;
  testing::TempDir dir_;
};

TEST_F(PostgresTest, InitCreatesTheSuiteOnceAndRefusesAPasswordOnTheCommandLine) {
  auto r = Ctl(fmt::format("init '{}' --database '{};Pwd=x'", dir_.File("a"), Database()));
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("never taken from the command line"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(dir_.File("a/Quorlan.mdb")));

  r = Init("a");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("created table TrendData60"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(kPassword), std::string::npos) << "the password was printed: " << r.out;
  EXPECT_FALSE(FileExists(dir_.File("a/" + std::string(kSuiteDatabase))));
  EXPECT_EQ(server_->Value("SELECT string_agg(tablename, ',' ORDER BY tablename) FROM pg_tables "
                           "WHERE schemaname = 'public'"),
            "atr_nodes,secprofiles,settings,trenddata1,trenddata15,trenddata5,trenddata60,"
            "trendreports,trendspool");
  EXPECT_EQ(server_->Value("SELECT count(*) FROM pg_indexes WHERE indexname LIKE 'trenddata%'"),
            "4");
  EXPECT_EQ(server_->Value("SELECT DebugMode FROM Settings"), "0");

  // A second installation on the same database keeps the tables and their rows.
  server_->Sql({"INSERT INTO ATR_Nodes (node_name, address) VALUES ('kept', '10.0.0.1')"});
  r = Init("b");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("created table"), std::string::npos) << r.out;
  EXPECT_EQ(server_->Value("SELECT node_name FROM ATR_Nodes"), "kept");
  EXPECT_EQ(server_->Value("SELECT count(*) FROM Settings"), "1");
  r = Ctl(fmt::format("upgrade '{}'", dir_.File("b")));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("The suite database (PostgreSQL) is up to date"), std::string::npos)
      << r.out;
  server_->Sql({"DELETE FROM ATR_Nodes"});
}

// A service on an installation that init made, polled tick by tick on a stepped clock.
class PostgresServiceTest : public PostgresTest {
 protected:
  void SetUp() override {
    PostgresTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    auto r = Init("opt");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // Polled with SNMPv3 (SHA, AES-128) through a security profile read from the database.
    dir_.Write("auth", "authpass123\n");
    dir_.Write("priv", "privpass123\n");
    r =
        Ctl(fmt::format("-d '{}' profile add shaaes --level priv --auth-password-file '{}' "
                        "--priv-password-file '{}'",
                        dir_.File("opt"), dir_.File("auth"), dir_.File("priv")));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r =
        Ctl(fmt::format("-d '{}' node add --name core-1 --address 127.0.0.1 --port {} --version "
                        "3 --user shaaes",
                        dir_.File("opt"), snmpd_->port()));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = Ctl(fmt::format("-d '{}' report add --title Uplink --node core-1 --interval 1 --object {}",
                        dir_.File("opt"), kGaugeOid + 1));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The service runs as a role that may only read and write rows.
    server_->Sql({"GRANT USAGE ON SCHEMA public TO trendservice",
                  "GRANT SELECT, INSERT, UPDATE, DELETE ON settings, atr_nodes, trendreports, "
                  "secprofiles, trenddata1, trenddata5, trenddata15, trenddata60, trendspool TO "
                  "trendservice"});
    auto mdb = NewOdbcDriver()->NewConnection();
    mdb->Open("Driver=SQLite3;Database=" + dir_.File("opt/Quorlan.mdb"), kDbConnectTimeoutSeconds);
    mdb->Execute("UPDATE Settings_Console SET DbConnStringSql = " +
                 SqlQuote(server_->ConnectionString("trendservice") + ";Pwd=servicepw"));
    mdb->Close();
    clock_ = std::make_unique<testing::SteppedClock>(At(0));
    loop_ = std::make_unique<EventLoop>(*clock_);
    const int agent = testing::FreeUdpPort();
    dir_.Write("opt/Quorlan.ini", fmt::format("ServerPort={}\nServerTrapPort={}\n", agent - 1,
                                              testing::FreeUdpPort()));
    m_ = std::make_unique<Module>(dir_.File("opt"), *clock_, *loop_, host_);
    host_.Deliver(kStateStart);
    ASSERT_EQ(m_->ServiceState, kServiceRunning)
        << testing::ReadEventLog(dir_.File("opt")).back().message;
    m_->timerPoll.SetEnabled(false);
  }
  void TearDown() override {
    if (m_) host_.Deliver(kStateStop);
  }

  // A poll tick at t, then events until no request is out (the clock moving only by the loop's
  // idle waits, so that the answers of snmpd arrive within the requests' time-outs) and the batch
  // is committed.
  void Tick(DateTime t) {
    clock_->Set(t);
    timerPoll_Timer(*m_);
    Until([this] { return m_->Pending == 0 && m_->PendingV3 == 0; }, 0);
    m_->SampleRecorder.CommitBatch();
  }
  // Runs the loop, the monotonic clock moving step_ms more each turn (the recorder's probe comes
  // every 15 s), until done or 30 s of real time.
  bool Until(const std::function<bool()>& done, int step_ms = 1000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      loop_->RunOnce(10);
      clock_->Advance(step_ms);
    }
    return done();
  }
  std::string Rows() {
    return server_->Value(
        "SELECT string_agg(to_char(Time, 'HH24:MI') || '=' || Value1, ' ' ORDER BY Time) FROM "
        "TrendData1");
  }

  testing::FakeServiceHost host_;
  std::unique_ptr<testing::SteppedClock> clock_;
  std::unique_ptr<EventLoop> loop_;
  std::unique_ptr<Module> m_;
};

TEST_F(PostgresServiceTest, PollsAreRecordedAndARestartDuringPollingLosesNoRow) {
  Tick(At(1));
  EXPECT_EQ(Rows(), "10:01=42") << snmpd_->Log();

  // Stopped: two minutes go to the spool, each failure one event.
  server_->Stop("fast");
  Tick(At(2));
  Tick(At(3));
  EXPECT_TRUE(m_->SampleRecorder.DatabaseOut());
  EXPECT_EQ(m_->SampleRecorder.Counts().spooled, 2);
  // Back: the probe replays the spool on a new connection, the service never restarted.
  server_->Start();
  Tick(At(4));
  ASSERT_TRUE(Until([this] { return !m_->SampleRecorder.DatabaseOut() && Rows().size() > 30; }));
  EXPECT_EQ(Rows(), "10:01=42 10:02=42 10:03=42 10:04=42");

  // A restart between two ticks: the kept connection is gone; its rows are not.
  server_->Restart("immediate");
  Tick(At(5));
  Tick(At(6));
  ASSERT_TRUE(Until([this] { return Rows().size() > 50; }));
  EXPECT_EQ(Rows(), "10:01=42 10:02=42 10:03=42 10:04=42 10:05=42 10:06=42");
  EXPECT_EQ(server_->Value("SELECT count(*) FROM TrendSpool"), "0");

  // A table locked beyond the recorder's wait: the statement is ended, the row waits in the spool
  // until the lock is gone.
  std::thread locker([] {
    server_->Sql({"BEGIN", "LOCK TABLE TrendData1", "SELECT pg_sleep(3)", "COMMIT"});
  });
  ASSERT_TRUE(Until([] {
    return server_->Value(
               "SELECT count(*) FROM pg_locks WHERE mode = 'AccessExclusiveLock' AND "
               "relation = 'trenddata1'::regclass") == "1";
  }));
  const int64_t spooled = m_->SampleRecorder.Counts().spooled;
  Tick(At(7));
  EXPECT_TRUE(m_->SampleRecorder.DatabaseOut());
  EXPECT_EQ(m_->SampleRecorder.Counts().spooled, spooled + 1);
  locker.join();
  ASSERT_TRUE(Until([this] { return Rows().size() > 60; }));
  EXPECT_EQ(Rows(), "10:01=42 10:02=42 10:03=42 10:04=42 10:05=42 10:06=42 10:07=42");
}

// The debug-mode watcher reads on one kept connection, also after the setting changed; once the
// server restarted under it, the next read logs in again and reports nothing.
TEST_F(PostgresServiceTest, TheDebugWatcherKeepsItsConnectionAcrossReadsAndARestart) {
  auto db = std::make_shared<testing::RecordingDatabase>(m_->Db);
  m_->Db = db;
  m_->SettingsConnection.reset();
  const size_t events = testing::ReadEventLog(dir_.File("opt")).size();
  const auto opens = [&] { return std::count(db->log().begin(), db->log().end(), "open"); };
  SettingsGeneralRead(*m_);
  SettingsGeneralRead(*m_);
  server_->Sql({"UPDATE Settings SET DebugMode = 1"});
  SettingsGeneralRead(*m_);
  EXPECT_TRUE(m_->DebugMode);
  EXPECT_EQ(opens(), 1);
  server_->Restart("immediate");
  server_->Sql({"UPDATE Settings SET DebugMode = 0"});
  SettingsGeneralRead(*m_);
  EXPECT_FALSE(m_->DebugMode);
  EXPECT_EQ(opens(), 2);
  EXPECT_EQ(testing::ReadEventLog(dir_.File("opt")).size(), events);
}

// The change passes run their SQL on PostgreSQL: a report flagged '1' is loaded, one flagged '2'
// takes its new title, one flagged '3' leaves the list and the table, each at the tick after its
// change code, and the flags are settled in the database.
TEST_F(PostgresServiceTest, ChangePassesAddEditAndRemoveReports) {
  const std::string columns = server_->Value(
      "SELECT string_agg(column_name, ',') FROM information_schema.columns WHERE table_name = "
      "'trendreports' AND column_name NOT IN ('reportid', 'reporttitle', 'dbchanged')");
  server_->Sql(
      {fmt::format("INSERT INTO TrendReports (ReportTitle, DbChanged, {0}) SELECT "
                   "'Second', '1', {0} FROM TrendReports",
                   columns)});
  m_->Mib_sysTrendChanged = 1;
  Tick(At(1));
  ASSERT_EQ(m_->TrendListCount, 2);
  EXPECT_EQ(m_->TrendList[2].ReportTitle, "Second");
  EXPECT_EQ(server_->Value("SELECT count(*) FROM TrendReports WHERE DbChanged <> '0'"), "0");

  server_->Sql(
      {"UPDATE TrendReports SET ReportTitle = 'Renamed', DbChanged = '2' WHERE "
       "ReportTitle = 'Second'"});
  m_->Mib_sysTrendChanged = 2;
  Tick(At(2));
  EXPECT_EQ(m_->TrendList[2].ReportTitle, "Renamed");

  server_->Sql({"UPDATE TrendReports SET DbChanged = '3' WHERE ReportTitle = 'Renamed'"});
  m_->Mib_sysTrendChanged = 3;
  Tick(At(3));
  EXPECT_EQ(m_->TrendList[2].PollType, kPollTypeDeleted);
  EXPECT_EQ(server_->Value("SELECT count(*) FROM TrendReports"), "1");
  EXPECT_EQ(server_->Value("SELECT count(*) FROM TrendReports WHERE DbChanged <> '0'"), "0");
}

// PostgreSQL ends a transaction at its first failed statement: a row the database refuses (its
// interval names no table) is set aside alone, and the rows around it are recorded.
TEST_F(PostgresServiceTest, ARefusedRowIsSetAsideAloneAndTheOthersAreRecorded) {
  SampleRow row;
  row.ReportId = 7;
  row.Values = {42, 0, 0, 0, 0, 0};
  const std::pair<int32_t, int> rows[] = {{60, 1}, {120, 1}, {60, 2}};
  for (const auto& [interval, minute] : rows) {
    row.PollInterval = interval;
    row.Time = At(minute);
    m_->SampleRecorder.Record(row);
  }
  m_->SampleRecorder.CommitBatch();
  EXPECT_FALSE(m_->SampleRecorder.DatabaseOut());
  EXPECT_EQ(Rows(), "10:01=42 10:02=42");
  EXPECT_EQ(ReadLines(dir_.File("opt/Spool/rejects.txt")).size(), 1u);
}

TEST_F(PostgresServiceTest, RetentionDeletesOldRowsInChunks) {
  // 7,000 rows older than 7 days and 1,000 of today.
  server_->Sql(
      {"INSERT INTO TrendData1 SELECT 1, timestamp '2026-11-20' + g * interval '1 minute', g, 0, "
       "0, 0, 0, 0 FROM generate_series(1, 7000) g",
       "INSERT INTO TrendData1 SELECT 2, timestamp '2026-12-07' + g * interval '1 second', g, 0, "
       "0, 0, 0, 0 FROM generate_series(1, 1000) g"});
  DelTrendData(*m_, "TrendData1");
  EXPECT_EQ(server_->Value("SELECT count(*) || ' ' || min(ReportId) FROM TrendData1"), "1000 2");
  bool reported = false;
  for (const auto& e : testing::ReadEventLog(dir_.File("opt"))) {
    reported = reported || e.message.find("7000 Trend Data Older Than 7 Days") == 0;
  }
  EXPECT_TRUE(reported);
}

}  // namespace
}  // namespace quorlan
