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
