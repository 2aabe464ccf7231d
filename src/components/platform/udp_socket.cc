#include "components/platform/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "components/platform/values.h"

namespace quorlan {
namespace {

// A UDP datagram over IPv4 carries at most 65507 bytes; one byte more tells truncation apart.
constexpr size_t kBufferSize = 65536;
constexpr int kMaxBatch = 64;

std::string ErrnoText(int e) {
  char buf[256];
  return strerror_r(e, buf, sizeof buf);
}

[[noreturn]] void ThrowOs(const std::string& what, int e) {
  throw RuntimeError(err::kComponent, fmt::format("{}: {}", what, ErrnoText(e)));
}

std::string Endpoint(const std::string& host, int port) {
  return fmt::format("{}:{}", host.empty() ? "0.0.0.0" : host, port);
}

sockaddr_in MakeAddress(const std::string& host, int port, const char* call) {
  if (port < 0 || port > 65535) {
    throw RuntimeError(err::kComponent,
                       fmt::format("{} udp {}: port out of range", call, Endpoint(host, port)));
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr = ResolveIpv4(host);
  return a;
}

}  // namespace

in_addr ResolveIpv4(const std::string& host) {
  in_addr a{};
  if (host.empty()) {
    a.s_addr = htonl(INADDR_ANY);
    return a;
  }
  if (inet_pton(AF_INET, host.c_str(), &a) == 1) return a;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    throw RuntimeError(err::kComponent,
                       fmt::format("resolve host '{}': {}", host, gai_strerror(rc)));
  }
  a = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return a;
}

std::string FormatIpv4(in_addr address) {
  char buf[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, buf, sizeof buf);
  return buf;
}

void UdpSocket::Open(const std::string& host, int port, int receive_buffer_bytes) {
  Close();
  const sockaddr_in local = MakeAddress(host, port, "bind");
  const std::string where = "udp " + Endpoint(host, port);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowOs("socket " + where, errno);
  if (receive_buffer_bytes > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer_bytes,
                                             sizeof receive_buffer_bytes) != 0) {
    // Without the privilege to force it, take what the system limit allows.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int e = errno;
    close(fd);
    ThrowOs("bind " + where, e);
  }
  fd_ = fd;
  // Left uninitialised: recvfrom writes what it reads, so clearing 64 KiB at each open is waste.
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
}

void UdpSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  batch_.taken = batch_.next = 0;
}

std::string UdpSocket::LocalHost() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  return FormatIpv4(a.sin_addr);
}

int UdpSocket::LocalPort() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

void UdpSocket::SendTo(const std::string& host, int port, std::string_view data) {
  SendTo(MakeAddress(host, port, "sendto"), data);
}

namespace {

std::string SendWhere(const sockaddr_in& to) {
  return fmt::format("sendto udp {}:{}", FormatIpv4(to.sin_addr), ntohs(to.sin_port));
}

}  // namespace

void UdpSocket::SendTo(const sockaddr_in& to, std::string_view data) {
  const auto where = [&] { return SendWhere(to); };
  if (fd_ < 0) throw RuntimeError(err::kComponent, where() + ": socket not open");
  const ssize_t n =
      sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (n < 0) ThrowOs(where(), errno);
  if (static_cast<size_t>(n) != data.size()) {
    throw RuntimeError(err::kComponent,
                       fmt::format("{}: sent {} of {} bytes", where(), n, data.size()));
  }
}

std::vector<UdpSocket::Refused> UdpSocket::SendMany(const std::vector<Outgoing>& out) {
  std::vector<Refused> refused;
  mmsghdr headers[kMaxBatch];
  iovec iovecs[kMaxBatch];
  size_t i = 0;
  while (i < out.size()) {
    if (fd_ < 0) {
      refused.push_back({i, SendWhere(out[i].to) + ": socket not open"});
      ++i;
      continue;
    }
    const size_t n = std::min(out.size() - i, static_cast<size_t>(kMaxBatch));
    for (size_t k = 0; k < n; ++k) {
      const Outgoing& o = out[i + k];
      iovecs[k] = {const_cast<char*>(o.data.data()), o.data.size()};
      headers[k] = {};
      headers[k].msg_hdr.msg_name = const_cast<sockaddr_in*>(&o.to);
      headers[k].msg_hdr.msg_namelen = sizeof o.to;
      headers[k].msg_hdr.msg_iov = &iovecs[k];
      headers[k].msg_hdr.msg_iovlen = 1;
    }
    // A UDP datagram goes whole or not at all. The call stops at the first datagram refused and
    // reports those before it; the next call starts with that one and reports why.
    const int sent = sendmmsg(fd_, headers, static_cast<unsigned>(n), 0);
    if (sent > 0) {
      i += static_cast<size_t>(sent);
      continue;
    }
    const int e = sent < 0 ? errno : EAGAIN;
    if (e == EINTR) continue;
    refused.push_back({i, fmt::format("{}: {}", SendWhere(out[i].to), ErrnoText(e))});
    ++i;
  }
  return refused;
}

bool UdpSocket::Receive(Datagram* out) {
  return batch_.size > 1 ? ReceiveBatched(out) : ReceiveOne(out);
}

void UdpSocket::ThrowReceive(const char* call, int e) const {
  ThrowOs(fmt::format("{} udp {}:{}", call, LocalHost(), LocalPort()), e);
}

namespace {

void Fill(UdpSocket::Datagram* out, const char* data, size_t length, bool truncated,
          const sockaddr_in& from) {
  out->truncated = truncated || length > kBufferSize;
  out->data.assign(data, std::min(length, kBufferSize));
  out->from_host = FormatIpv4(from.sin_addr);
  out->from_address = from.sin_addr;
  out->from_port = ntohs(from.sin_port);
}

}  // namespace

bool UdpSocket::ReceiveOne(Datagram* out) {
  sockaddr_in from{};
  socklen_t len = sizeof from;
  // MSG_TRUNC makes recvfrom return the real length of a datagram larger than the buffer.
  const ssize_t n = recvfrom(fd_, buffer_.get(), kBufferSize, MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) {
    const int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK) return false;
    if (e == EINTR) return ReceiveOne(out);
    ThrowReceive("recvfrom", e);
  }
  Fill(out, buffer_.get(), static_cast<size_t>(n), false, from);
  return true;
}

void UdpSocket::SetReceiveBatch(int count) {
  if (count < 1 || count > kMaxBatch) {
    throw RuntimeError(err::kComponent,
                       fmt::format("receive batch {}: out of range 1..{}", count, kMaxBatch));
  }
  batch_ = Batch{};
  batch_.size = count;
  if (count == 1) return;
  const auto n = static_cast<size_t>(count);
  batch_.slots = std::make_unique_for_overwrite<char[]>(n * kBufferSize);
  batch_.headers = std::make_unique<mmsghdr[]>(n);
  batch_.iovecs = std::make_unique<iovec[]>(n);
  batch_.from = std::make_unique<sockaddr_in[]>(n);
}

bool UdpSocket::ReceiveBatched(Datagram* out) {
  Batch& b = batch_;
  if (b.next == b.taken) {
    b.next = b.taken = 0;
    for (int i = 0; i < b.size; ++i) {
      b.iovecs[i] = {b.slots.get() + static_cast<size_t>(i) * kBufferSize, kBufferSize};
      b.headers[i] = {};
      b.headers[i].msg_hdr.msg_iov = &b.iovecs[i];
      b.headers[i].msg_hdr.msg_iovlen = 1;
      b.headers[i].msg_hdr.msg_name = &b.from[i];
      b.headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    // MSG_TRUNC, as for recvfrom: msg_len is the real length of a datagram larger than its slot.
    const int n = recvmmsg(fd_, b.headers.get(), static_cast<unsigned>(b.size), MSG_TRUNC, nullptr);
    if (n < 0) {
      const int e = errno;
      b.drained = e == EAGAIN || e == EWOULDBLOCK;
      if (b.drained) return false;
      if (e == EINTR) return ReceiveBatched(out);
      ThrowReceive("recvmmsg", e);
    }
    b.drained = n < b.size;
    if (n == 0) return false;
    b.taken = n;
  }
  const int i = b.next++;
  const mmsghdr& h = b.headers[i];
  Fill(out, static_cast<const char*>(b.iovecs[i].iov_base), h.msg_len,
       (h.msg_hdr.msg_flags & MSG_TRUNC) != 0, b.from[i]);
  return true;
}

}  // namespace quorlan
