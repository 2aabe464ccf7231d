// A SQL Server that completes the login and then stops answering, reached through the real FreeTDS
// driver: each statement ends with a time-out, which the operation reports as one error event.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "storage/socket_watchdog.h"
#include "storage_fixture.h"
#include "support/fake_sql_server.h"

namespace quorlan {
namespace {

using testing::FakeTdsServer;

class HungServerTest : public testing::StorageTest {
 protected:
  // A client with a 2-second query time-out, so that the test takes seconds, not minutes.
  void UseServer(const FakeTdsServer& server) {
    st_.Db = NewOdbcDriver({.query_timeout_seconds = 2});
    st_.DbConnStringSql = "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(server.port()) +
                          ";UID=sa;PWD=secret;TDS_Version=7.4";
  }
};

TEST_F(HungServerTest, AStatementWithoutAnAnswerEndsTheOperationWithOneErrorEvent) {
  FakeTdsServer server;
  UseServer(server);
  st_.DebugMode = true;
  SettingsGeneralRead(st_);
  EXPECT_TRUE(st_.DebugMode);
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "modQuorlanTrend_SettingsGeneralRead");
  EXPECT_EQ(events[0].message.rfind("ODBC HYT00 execute 'SELECT * FROM Settings'", 0), 0u)
      << events[0].message;
  EXPECT_EQ(server.logins(), 1);
  EXPECT_EQ(server.batches(), 1);
  EXPECT_GE(server.attentions(), 1) << "the statement was cancelled";
}

// The debug-mode watcher keeps its connection to a server database between reads. A server that
// then stops answering holds the next read about as long as a new connection's login would (5 s,
// then 5 s more for the login of the read made again), not the query time-out of 30 s, and the
// failure is one error event.
TEST_F(HungServerTest, AReadOnTheKeptConnectionWaitsNoLongerThanALogin) {
  const std::string server_db = dir_.File("server.db");
  {
    auto conn = direct_->NewConnection();
    conn->Open("Driver=SQLite3;Database=" + server_db, kDbConnectTimeoutSeconds);
    conn->Execute("CREATE TABLE Settings (DebugMode int)");
    conn->Execute("INSERT INTO Settings VALUES (1)");
  }
  FakeTdsServer server(FakeTdsServer::Mode::kSqlite, server_db);
  UseServer(server);
  st_.Db = NewOdbcDriver();  // the service's own query time-out
  SettingsGeneralRead(st_);
  ASSERT_TRUE(st_.DebugMode);
  ASSERT_TRUE(Events().empty());
  server.SetSilent(true);
  const auto started = std::chrono::steady_clock::now();
  SettingsGeneralRead(st_);
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_LT(waited, std::chrono::seconds(15));
  EXPECT_EQ(Events().size(), 1u);
  EXPECT_EQ(server.logins(), 1);
}

TEST_F(HungServerTest, AFetchThatGetsNoMoreRowsTimesOutToo) {
  FakeTdsServer server(FakeTdsServer::Mode::kRowThenSilent);
  UseServer(server);
  auto conn = OpenSuiteConnection(st_);
  auto rows = conn->Execute("SELECT n FROM t");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->Field("n").AsInt32(), 7);
  try {
    rows->MoveNext();
    FAIL() << "the fetch returned";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.description().rfind("ODBC HYT00 fetch", 0), 0u) << e.description();
  }
}

TEST(SocketWatchdogTest, ShutsOnlyTheSocketOfACallThatOutlivesItsLimit) {
  int prompt[2], late[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, prompt), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, late), 0);
  SocketWatchdog dog;
  {
    const SocketWatchdog::Guard watch = dog.Watch(prompt[0], std::chrono::hours(1));
  }  // a call that ended in time
  {
    const SocketWatchdog::Guard watch = dog.Watch(late[0], std::chrono::milliseconds(0));
    char c;
    EXPECT_EQ(read(late[0], &c, 1), 0) << "a read that nobody answers, ended by the watchdog";
  }
  char c;
  EXPECT_EQ(write(prompt[0], "x", 1), 1);
  EXPECT_EQ(read(prompt[1], &c, 1), 1);
  for (int fd : {prompt[0], prompt[1], late[0], late[1]}) close(fd);
}

}  // namespace
}  // namespace quorlan
