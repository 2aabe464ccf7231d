#include "support/fake_sql_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <stdexcept>

#include "storage/internal.h"

namespace quorlan::testing {
namespace {

constexpr unsigned char kReply = 0x04, kSqlBatch = 0x01, kAttention = 0x06, kLogin7 = 0x10,
                        kPrelogin = 0x12;

int BoundSocket(int type, int port = 0) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (type == SOCK_STREAM && listen(fd, 16) != 0)) {
    throw std::runtime_error("cannot bind a socket on 127.0.0.1");
  }
  return fd;
}

int LocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t length = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  return ntohs(addr.sin_port);
}

std::string Le16(unsigned v) { return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)}; }
std::string Le32(uint32_t v) { return Le16(v & 0xffff) + Le16(v >> 16); }
std::string Ucs2(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

// A message as TDS packets of at most 4096 bytes: type, status (1 on the last: end of message),
// length, SPID 51, packet id, window 0.
std::string Packet(unsigned char type, const std::string& payload) {
  constexpr size_t kMostPayload = 4096 - 8;
  std::string out;
  size_t at = 0;
  unsigned char id = 1;
  do {
    const size_t n = std::min(kMostPayload, payload.size() - at);
    const size_t length = n + 8;
    const char last = at + n == payload.size() ? 1 : 0;
    out += std::string{static_cast<char>(type),          last, static_cast<char>(length >> 8),
                       static_cast<char>(length & 0xff), 0,    51,
                       static_cast<char>(id++),          0} +
           payload.substr(at, n);
    at += n;
  } while (at < payload.size());
  return out;
}

std::string Le64(uint64_t v) { return Le32(static_cast<uint32_t>(v)) + Le32(v >> 32); }

// UTF-8 to UTF-16LE and back (characters of the basic multilingual plane, which is all the
// service writes).
std::string Utf16(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    unsigned code = c;
    int more = c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
    if (more > 0) code = c & (more == 2 ? 0x0f : 0x1f);
    for (++i; more > 0 && i < utf8.size(); --more, ++i) {
      code = code << 6 | (static_cast<unsigned char>(utf8[i]) & 0x3f);
    }
    out += Le16(code & 0xffff);
  }
  return out;
}

std::string Utf8(const std::string& utf16) {
  std::string out;
  for (size_t i = 0; i + 1 < utf16.size(); i += 2) {
    const unsigned code =
        static_cast<unsigned char>(utf16[i]) | static_cast<unsigned char>(utf16[i + 1]) << 8;
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += {static_cast<char>(0xc0 | code >> 6), static_cast<char>(0x80 | (code & 0x3f))};
    } else {
      out += {static_cast<char>(0xe0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3f)),
              static_cast<char>(0x80 | (code & 0x3f))};
    }
  }
  return out;
}

constexpr uint16_t kDoneMore = 0x01, kDoneError = 0x02, kDoneCount = 0x10, kDoneAttention = 0x20;

std::string Done(uint16_t status, uint64_t rows) {
  return "\xfd" + Le16(status) + Le16(0) + Le64(rows);
}

// COLMETADATA of nullable nvarchar(4000) columns (collation Latin1_General_CI_AS).
std::string Columns(const std::vector<std::string>& names) {
  std::string out = "\x81" + Le16(static_cast<unsigned>(names.size()));
  for (const std::string& name : names) {
    const std::string utf16 = Utf16(name);
    out += Le32(0) + Le16(1) + "\xe7" + Le16(8000) + std::string("\x09\x04\xd0\x00\x34", 5) +
           static_cast<char>(utf16.size() / 2) + utf16;
  }
  return out;
}

std::string Row(const std::vector<std::optional<std::string>>& values) {
  std::string out = "\xd1";
  for (const auto& v : values) {
    if (!v) {
      out += Le16(0xffff);
      continue;
    }
    const std::string utf16 = Utf16(*v);
    out += Le16(static_cast<unsigned>(utf16.size())) + utf16;
  }
  return out;
}

// ERROR (severity 16) of a SQL Server with the number, then the final DONE of a failed batch.
std::string Error(int number, const std::string& text) {
  const std::string message = Utf16(text), server = Utf16("FAKE");
  const std::string body = Le32(static_cast<uint32_t>(number)) + std::string("\x01\x10", 2) +
                           Le16(static_cast<unsigned>(message.size() / 2)) + message +
                           static_cast<char>(server.size() / 2) + server + std::string(1, 0) +
                           Le32(1);
  return "\xaa" + Le16(static_cast<unsigned>(body.size())) + body + Done(kDoneError, 0);
}

// SQL Server's text as SQLite takes it: N'...' without its N.
std::string WithoutNationalPrefix(const std::string& sql) {
  std::string out;
  char quote = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (quote == 0 && (c == 'N' || c == 'n') && i + 1 < sql.size() && sql[i + 1] == '\'' &&
        (i == 0 || !std::isalnum(static_cast<unsigned char>(sql[i - 1])))) {
      continue;
    }
    if (quote != 0 && c == quote) {
      quote = 0;
    } else if (quote == 0 && (c == '\'' || c == '"')) {
      quote = c;
    }
    out += c;
  }
  return out;
}

// PRELOGIN answer: version, encryption not supported, thread id, no MARS.
std::string PreloginReply() {
  const std::vector<std::pair<char, std::string>> options = {
      {0, std::string("\x10\x00\x07\xd0\x00\x00", 6)},
      {1, "\x02"},
      {3, ""},
      {4, std::string(1, 0)}};
  std::string head, body;
  const size_t offset = options.size() * 5 + 1;
  for (const auto& [token, data] : options) {
    const size_t at = offset + body.size();
    head += std::string{token, static_cast<char>(at >> 8), static_cast<char>(at & 0xff),
                        static_cast<char>(data.size() >> 8), static_cast<char>(data.size())};
    body += data;
  }
  return head + "\xff" + body;
}

// LOGINACK (TDS 7.4, "SQL Server") and DONE.
std::string LoginReply() {
  const std::string name = "SQL Server";
  const std::string ack = std::string(1, 1) + std::string("\x74\x00\x00\x04", 4) +
                          static_cast<char>(name.size()) + Ucs2(name) +
                          std::string("\x10\x00\x07\xd0", 4);
  return "\xad" + Le16(static_cast<unsigned>(ack.size())) + ack + Done(0, 0);
}

// COLMETADATA of one nullable int column n, and one ROW holding 7; no DONE.
std::string OneRow() {
  const std::string column = Le32(0) + Le16(1) + "\x26\x04" + std::string(1, 1) + Ucs2("n");
  return "\x81" + Le16(1) + column + "\xd1\x04" + Le32(7);
}

}  // namespace

FakeTdsServer::FakeTdsServer(Mode mode, std::string database, int port)
    : mode_(mode), database_(std::move(database)) {
  if (mode_ == Mode::kSqlite) {
    if (sqlite3_open_v2(database_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      throw std::runtime_error("cannot open the SQLite database " + database_);
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  listen_fd_ = BoundSocket(SOCK_STREAM, port);
  port_ = LocalPort(listen_fd_);
  thread_ = std::thread([this] { Serve(); });
}

FakeTdsServer::~FakeTdsServer() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
  if (db_ != nullptr) sqlite3_close(db_);
}

std::string FakeTdsServer::RunBatch(const std::string& batch) {
  const std::string text = AdaptSqlForSqlite(WithoutNationalPrefix(batch));
  std::string reply;
  const char* tail = text.c_str();
  while (*tail != '\0') {
    sqlite3_stmt* stmt = nullptr;
    const char* next = nullptr;
    if (sqlite3_prepare_v2(db_, tail, -1, &stmt, &next) != SQLITE_OK) {
      const std::string message = sqlite3_errmsg(db_);
      const bool missing = message.rfind("no such table", 0) == 0;
      return reply + Error(missing ? 208 : 102, message);  // Invalid object name, syntax
    }
    const std::string statement(tail, static_cast<size_t>(next - tail));
    tail = next;
    if (stmt == nullptr) continue;  // blanks or a comment
    const bool set =
        strncasecmp(statement.c_str() + statement.find_first_not_of(" \t\r\n"), "SET ", 4) == 0;
    const int columns = sqlite3_column_count(stmt);
    std::string rows;
    uint64_t count = 0;
    int rc = SQLITE_DONE;
    while (!set && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::vector<std::optional<std::string>> values;
      for (int i = 0; i < columns; ++i) {
        const auto* v = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        values.push_back(v ? std::optional<std::string>(v) : std::nullopt);
      }
      rows += Row(values);
      ++count;
    }
    if (rc != SQLITE_DONE) {
      const std::string message = sqlite3_errmsg(db_);
      sqlite3_finalize(stmt);
      return reply + Error(8115, message);  // as an arithmetic overflow: a statement refused
    }
    if (columns > 0 && !set) {
      std::vector<std::string> names;
      for (int i = 0; i < columns; ++i) names.push_back(sqlite3_column_name(stmt, i));
      reply += Columns(names) + rows;
    } else if (!set) {
      count = static_cast<uint64_t>(sqlite3_changes(db_));
    }
    sqlite3_finalize(stmt);
    reply += Done(kDoneCount | kDoneMore, count);
  }
  // The last DONE ends the batch.
  if (reply.size() >= 13) reply[reply.size() - 12] &= static_cast<char>(~kDoneMore);
  return reply.empty() ? Done(0, 0) : reply;
}

void FakeTdsServer::Serve() {
  std::map<int, Client> clients;
  while (!stop_) {
    std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
    for (const auto& [fd, buffer] : clients) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 50) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) clients[fd];
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      char data[4096];
      const ssize_t n = read(fds[i].fd, data, sizeof data);
      Client& client = clients[fds[i].fd];
      if (n > 0) client.buffer.append(data, static_cast<size_t>(n));
      if (n <= 0 || !Handle(fds[i].fd, client)) {
        close(fds[i].fd);
        clients.erase(fds[i].fd);
      }
    }
  }
  for (const auto& [fd, buffer] : clients) close(fd);
}

bool FakeTdsServer::Handle(int fd, Client& client) {
  std::string& buffer = client.buffer;
  while (buffer.size() >= 8) {
    const size_t length =
        static_cast<unsigned char>(buffer[2]) << 8 | static_cast<unsigned char>(buffer[3]);
    if (length < 8) return false;
    if (buffer.size() < length) return true;
    const auto type = static_cast<unsigned char>(buffer[0]);
    const bool last = (buffer[1] & 1) != 0;
    client.message.append(buffer, 8, length - 8);
    buffer.erase(0, length);
    if (!last) continue;
    const std::string payload = std::move(client.message);
    client.message.clear();
    if (silent_) continue;  // read and dropped
    const std::string reply = Reply(type, payload);
    if (!reply.empty() && write(fd, reply.data(), reply.size()) < 0) return false;
  }
  return true;
}

std::string FakeTdsServer::Reply(unsigned char type, const std::string& payload) {
  switch (type) {
    case kPrelogin:
      return Packet(kReply, PreloginReply());
    case kLogin7:
      ++logins_;
      return Packet(kReply, LoginReply());
    case kSqlBatch: {
      ++batches_;
      if (mode_ == Mode::kRowThenSilent) return Packet(kReply, OneRow());
      if (mode_ != Mode::kSqlite || payload.size() < 4) return "";
      // ALL_HEADERS first: their total length, then the text in UTF-16.
      const size_t headers =
          static_cast<unsigned char>(payload[0]) | static_cast<unsigned char>(payload[1]) << 8;
      return Packet(kReply, RunBatch(Utf8(payload.substr(std::min(headers, payload.size())))));
    }
    case kAttention:
      ++attentions_;  // confirmed only by a server that answers at all
      return mode_ == Mode::kSqlite ? Packet(kReply, Done(kDoneAttention, 0)) : "";
    default:
      return "";
  }
}

FakeSqlBrowser::FakeSqlBrowser(std::string instance, int tcp_port)
    : instance_(std::move(instance)), tcp_port_(tcp_port) {
  fd_ = BoundSocket(SOCK_DGRAM);
  port_ = LocalPort(fd_);
  thread_ = std::thread([this] { Serve(); });
}

FakeSqlBrowser::~FakeSqlBrowser() {
  stop_ = true;
  thread_.join();
  close(fd_);
}

std::vector<std::string> FakeSqlBrowser::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeSqlBrowser::Serve() {
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char data[1024];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n =
        recvfrom(fd_, data, sizeof data, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.emplace_back(data, static_cast<size_t>(n));
    }
    if (tcp_port_ == 0) continue;
    const std::string text = "ServerName;FAKE;InstanceName;" + instance_ +
                             ";IsClustered;No;Version;16.0.1000.6;tcp;" +
                             std::to_string(tcp_port_) + ";;";
    const std::string answer = "\x05" + Le16(static_cast<unsigned>(text.size())) + text;
    sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
  }
}

}  // namespace quorlan::testing
