// An SQL Server that accepts connections and never answers, reached through the real FreeTDS
// driver: each operation gives up after the 5-second connection time-out with one error event.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "storage_fixture.h"

namespace quorlan {
namespace {

// A TCP listener on 127.0.0.1 that accepts every connection and never sends a byte.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Accept(); });
  }
  ~SilentListener() {
    stop_ = true;
    thread_.join();
    for (int fd : accepted_) close(fd);
    close(fd_);
  }
  int port() const { return port_; }
  int accepted() const { return accepted_count_; }

 private:
  void Accept() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) == 1) {
        const int fd = accept(fd_, nullptr, nullptr);
        if (fd >= 0) {
          accepted_.push_back(fd);
          ++accepted_count_;
        }
      }
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_count_{0};
  std::vector<int> accepted_;
  std::thread thread_;
};

class UnreachableServerTest : public testing::StorageTest {
 protected:
  // Runs the operation and returns its duration in seconds.
  template <typename F>
  double Timed(F operation) {
    const auto start = std::chrono::steady_clock::now();
    operation();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  SilentListener listener_;
};

TEST_F(UnreachableServerTest, EachOperationGivesUpAfterTheConnectionTimeOutAndTheNextTriesAgain) {
  // The stored OLE DB form, translated to FreeTDS with TDS_Version=7.4 and the port given.
  st_.DbConnStringSql =
      "Provider=SQLOLEDB.1;Password=secret;Persist Security Info=True;User "
      "ID=sa;Initial Catalog=Quorlan;Data Source=127.0.0.1," +
      std::to_string(listener_.port());
  st_.DebugMode = true;
  const double first = Timed([&] { SettingsGeneralRead(st_); });
  EXPECT_GE(first, 4.5);
  EXPECT_LE(first, 7.5);
  EXPECT_TRUE(st_.DebugMode);
  auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "1");
  EXPECT_EQ(events[0].source, "modQuorlanTrend_SettingsGeneralRead");
  EXPECT_EQ(events[0].message.rfind("ODBC HYT00 connect 'Driver=FreeTDS;Server=127.0.0.1;Port=", 0),
            0u)
      << events[0].message;
  EXPECT_EQ(events[0].message.find("secret"), std::string::npos);

  // An ODBC string without TDS_Version gets one, so the time-out holds here too.
  st_.DbConnStringSql =
      "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(listener_.port()) + ";UID=sa;PWD=x";
  const double second = Timed([&] { DelTrendData(st_, "TrendData1"); });
  EXPECT_GE(second, 4.5);
  EXPECT_LE(second, 7.5);
  events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].type, "1");
  EXPECT_EQ(events[1].source, "frmVeltTrendSrv_DelTrendData");
  EXPECT_EQ(listener_.accepted(), 2);
}

}  // namespace
}  // namespace quorlan
