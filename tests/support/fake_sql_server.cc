#include "support/fake_sql_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <stdexcept>

namespace quorlan::testing {
namespace {

constexpr unsigned char kReply = 0x04, kSqlBatch = 0x01, kAttention = 0x06, kLogin7 = 0x10,
                        kPrelogin = 0x12;

int BoundSocket(int type) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
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

// One TDS packet: type, status "end of message", length, SPID 51, packet id 1, window 0.
std::string Packet(unsigned char type, const std::string& payload) {
  const size_t length = payload.size() + 8;
  return std::string{static_cast<char>(type),
                     1,
                     static_cast<char>(length >> 8),
                     static_cast<char>(length & 0xff),
                     0,
                     51,
                     1,
                     0} +
         payload;
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

std::string Done() { return "\xfd" + Le16(0) + Le16(0) + std::string(8, '\0'); }

// LOGINACK (TDS 7.4, "SQL Server") and DONE.
std::string LoginReply() {
  const std::string name = "SQL Server";
  const std::string ack = std::string(1, 1) + std::string("\x74\x00\x00\x04", 4) +
                          static_cast<char>(name.size()) + Ucs2(name) +
                          std::string("\x10\x00\x07\xd0", 4);
  return "\xad" + Le16(static_cast<unsigned>(ack.size())) + ack + Done();
}

// COLMETADATA of one nullable int column n, and one ROW holding 7; no DONE.
std::string OneRow() {
  const std::string column = Le32(0) + Le16(1) + "\x26\x04" + std::string(1, 1) + Ucs2("n");
  return "\x81" + Le16(1) + column + "\xd1\x04" + Le32(7);
}

}  // namespace

FakeTdsServer::FakeTdsServer(Mode mode) : mode_(mode) {
  listen_fd_ = BoundSocket(SOCK_STREAM);
  port_ = LocalPort(listen_fd_);
  thread_ = std::thread([this] { Serve(); });
}

FakeTdsServer::~FakeTdsServer() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
}

void FakeTdsServer::Serve() {
  std::map<int, std::string> clients;  // descriptor -> bytes not yet handled
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
      std::string& buffer = clients[fds[i].fd];
      if (n > 0) buffer.append(data, static_cast<size_t>(n));
      if (n <= 0 || !Handle(fds[i].fd, buffer)) {
        close(fds[i].fd);
        clients.erase(fds[i].fd);
      }
    }
  }
  for (const auto& [fd, buffer] : clients) close(fd);
}

bool FakeTdsServer::Handle(int fd, std::string& buffer) {
  while (buffer.size() >= 8) {
    const size_t length =
        static_cast<unsigned char>(buffer[2]) << 8 | static_cast<unsigned char>(buffer[3]);
    if (length < 8) return false;
    if (buffer.size() < length) return true;
    const auto type = static_cast<unsigned char>(buffer[0]);
    buffer.erase(0, length);
    std::string reply;
    if (type == kPrelogin) reply = Packet(kReply, PreloginReply());
    if (type == kLogin7) {
      reply = Packet(kReply, LoginReply());
      ++logins_;
    }
    if (type == kSqlBatch) {
      ++batches_;
      if (mode_ == Mode::kRowThenSilent) reply = Packet(kReply, OneRow());
    }
    if (type == kAttention) ++attentions_;  // never confirmed
    if (!reply.empty() && write(fd, reply.data(), reply.size()) < 0) return false;
  }
  return true;
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
