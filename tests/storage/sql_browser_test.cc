// Named instances without a port: the SQL Server Browser look-up, bounded by the connection
// time-out and kept until a connection through its port fails.
#include "storage/sql_browser.h"

#include <gtest/gtest.h>

#include <chrono>

#include "storage/storage.h"
#include "support/fake_sql_server.h"

namespace quorlan {
namespace {

using testing::FakeSqlBrowser;
using testing::FakeTdsServer;

TEST(SqlBrowserTest, RequestAndAnswerFormats) {
  EXPECT_EQ(SqlBrowserRequest("SQLEXPRESS"), std::string("\x04SQLEXPRESS\0", 12));
  const auto answer = [](const std::string& text) {
    return "\x05" + std::string{static_cast<char>(text.size()), 0} + text;
  };
  EXPECT_EQ(SqlBrowserTcpPort(answer("ServerName;DB1;InstanceName;SQLEXPRESS;IsClustered;No;"
                                     "Version;16.0;tcp;49172;np;\\\\DB1\\pipe\\q;;"),
                              "sqlexpress"),
            49172);
  EXPECT_EQ(SqlBrowserTcpPort(answer("ServerName;DB1;InstanceName;OTHER;tcp;1433;;"), "A"), 0);
  EXPECT_EQ(SqlBrowserTcpPort(answer("ServerName;DB1;InstanceName;A;np;x;;"), "A"), 0);
  EXPECT_EQ(SqlBrowserTcpPort(answer("ServerName;DB1;InstanceName;A;tcp;99999;;"), "A"), 0);
  EXPECT_EQ(SqlBrowserTcpPort("\x05\x40", "A"), 0);
}

std::string NamedInstance(const std::string& instance) {
  return "Provider=SQLOLEDB.1;Data Source=127.0.0.1\\" + instance + ";User ID=sa;Password=pw";
}

TEST(SqlBrowserTest, TheAnswerIsUsedAndKeptUntilAConnectionThroughItFails) {
  auto server = std::make_unique<FakeTdsServer>();
  FakeSqlBrowser browser("INST", server->port());
  auto driver = NewOdbcDriver({.sql_browser_port = browser.port()});
  for (int i = 0; i < 2; ++i) {
    auto conn = driver->NewConnection();
    conn->Open(NamedInstance("INST"), kDbConnectTimeoutSeconds);
    EXPECT_EQ(conn->State(), 1);
  }
  EXPECT_EQ(server->logins(), 2);
  EXPECT_EQ(browser.Requests(), (std::vector<std::string>{std::string("\x04INST\0", 6)}));
  server.reset();  // the instance is gone from its port
  EXPECT_THROW(driver->NewConnection()->Open(NamedInstance("INST"), kDbConnectTimeoutSeconds),
               RuntimeError);
  EXPECT_THROW(driver->NewConnection()->Open(NamedInstance("INST"), kDbConnectTimeoutSeconds),
               RuntimeError);
  EXPECT_EQ(browser.Requests().size(), 2u) << "asked again after the failed connection";
}

TEST(SqlBrowserTest, NoAnswerEndsTheConnectWithinTheConnectionTimeOut) {
  FakeSqlBrowser browser("INST", 0);
  auto driver = NewOdbcDriver({.sql_browser_port = browser.port()});
  const auto start = std::chrono::steady_clock::now();
  try {
    driver->NewConnection()->Open(NamedInstance("INST"), kDbConnectTimeoutSeconds);
    FAIL() << "connected";
  } catch (const RuntimeError& e) {
    EXPECT_NE(
        e.description().find("SQL Server Browser at 127.0.0.1:" + std::to_string(browser.port()) +
                             " did not answer for instance INST"),
        std::string::npos)
        << e.description();
    EXPECT_EQ(e.description().find("pw"), std::string::npos) << "password masked";
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 4.5);
  EXPECT_LT(seconds, 12) << "FreeTDS's own look-up takes 16 s";
  EXPECT_GE(browser.Requests().size(), 4u) << "resent every second";
}

}  // namespace
}  // namespace quorlan
