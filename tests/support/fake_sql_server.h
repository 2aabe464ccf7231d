// Stand-ins for a SQL Server on 127.0.0.1, for what a real one cannot be made to do on demand:
// a TDS endpoint that completes the login of a TDS 7.4 client (FreeTDS) and then stops
// answering, or answers its SQL batches from a SQLite database until told to fall silent, and a
// SQL Server Browser (UDP) that answers with a given port or not at all.
// Each serves from a thread of its own until destroyed.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace quorlan::testing {

class FakeTdsServer {
 public:
  enum class Mode {
    kSilent,         // no SQL batch is ever answered
    kRowThenSilent,  // a batch gets one int column named n with one row (7), then nothing more
    // Each batch is run on the SQLite database and answered as SQL Server would: rows (every
    // column as nvarchar), row counts, or the error. The text is taken as SQLite takes SQL
    // Server's: N'...' loses its N, SET statements do nothing, and the forms the service's SQLite
    // dialect rewrites (SELECT TOP, DELETE TOP, sys.tables) are rewritten so.
    kSqlite,
  };
  // database: the SQLite file of kSqlite. port 0 takes a free one.
  explicit FakeTdsServer(Mode mode = Mode::kSilent, std::string database = "", int port = 0);
  ~FakeTdsServer();
  FakeTdsServer(const FakeTdsServer&) = delete;
  FakeTdsServer& operator=(const FakeTdsServer&) = delete;

  int port() const { return port_; }
  // While silent, nothing is answered, logins included, as by a server that hangs; connections
  // stay open and what they send is read and dropped.
  void SetSilent(bool silent) { silent_ = silent; }
  int logins() const { return logins_; }          // logins completed
  int batches() const { return batches_; }        // SQL batches received
  int attentions() const { return attentions_; }  // cancel requests received

 private:
  struct Client {
    std::string buffer;   // bytes not yet handled
    std::string message;  // payload of the packets of a message not yet complete
  };
  void Serve();
  // Handles the packets complete in the client's buffer; false when the client is to be closed.
  bool Handle(int fd, Client& client);
  // The reply to a complete message of the type, or "" for none.
  std::string Reply(unsigned char type, const std::string& payload);
  std::string RunBatch(const std::string& sql);

  Mode mode_;
  std::string database_;
  ::sqlite3* db_ = nullptr;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false}, silent_{false};
  std::atomic<int> logins_{0}, batches_{0}, attentions_{0};
  std::thread thread_;
};

class FakeSqlBrowser {
 public:
  // Answers every request for instance with "tcp;<tcp_port>", or never when tcp_port is 0.
  FakeSqlBrowser(std::string instance, int tcp_port);
  ~FakeSqlBrowser();
  FakeSqlBrowser(const FakeSqlBrowser&) = delete;
  FakeSqlBrowser& operator=(const FakeSqlBrowser&) = delete;

  int port() const { return port_; }
  // The request datagrams received, in order.
  std::vector<std::string> Requests() const;

 private:
  void Serve();

  std::string instance_;
  int tcp_port_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace quorlan::testing
