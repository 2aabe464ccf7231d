#include "support/name_server.h"

#include <arpa/inet.h>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace quorlan::testing {
namespace {

constexpr size_t kHeader = 12;
constexpr uint16_t kTypeA = 1;
constexpr uint8_t kNoSuchName = 3;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

uint16_t Read16(const std::string& s, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(s[at]) << 8) |
                               static_cast<uint8_t>(s[at + 1]));
}

void Put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v >> 8));
  s.push_back(static_cast<char>(v & 0xFF));
}

}  // namespace

FakeNameServer::FakeNameServer(EventLoop& loop) : loop_(loop) {
  socket_.Open("127.0.0.1", 0);
  watch_ = loop_.WatchReadable(socket_.fd(), [this] { OnReadable(); });
}

FakeNameServer::~FakeNameServer() { loop_.Unwatch(watch_); }

std::string FakeNameServer::Address() const { return fmt::format("127.0.0.1:{}", port()); }

void FakeNameServer::Add(const std::string& name, const std::string& address) {
  names_[Lower(name)] = address;
}

void FakeNameServer::OnReadable() {
  UdpSocket::Datagram dg;
  while (socket_.Receive(&dg)) {
    const std::string answer = Answer(dg.data);
    if (!silent_ && !answer.empty()) socket_.SendTo(dg.from_host, dg.from_port, answer);
  }
}

// The response to one query: its header and question copied, an A record when the name is known.
std::string FakeNameServer::Answer(const std::string& query) {
  if (query.size() < kHeader + 5 || Read16(query, 4) != 1) return "";
  std::string name;
  size_t p = kHeader;
  while (p < query.size() && query[p] != 0) {
    const size_t n = static_cast<uint8_t>(query[p]);
    if (p + 1 + n > query.size()) return "";
    name += (name.empty() ? "" : ".") + query.substr(p + 1, n);
    p += 1 + n;
  }
  if (p + 5 > query.size()) return "";
  const size_t question_end = p + 5;
  const uint16_t type = Read16(query, p + 1);
  name = Lower(name);
  queries_.push_back(name);
  const auto known = names_.find(name);
  const bool with_address = known != names_.end() && type == kTypeA;
  std::string r = query.substr(0, 2);
  const uint8_t recursion_desired = static_cast<uint8_t>(query[2]) & 0x01;
  r.push_back(static_cast<char>(0x80 | recursion_desired));  // a response
  r.push_back(static_cast<char>(0x80 | (known == names_.end() ? kNoSuchName : 0)));
  Put16(r, 1);                     // the question
  Put16(r, with_address ? 1 : 0);  // answers
  Put16(r, 0);
  Put16(r, 0);
  r += query.substr(kHeader, question_end - kHeader);
  if (with_address) {
    in_addr a{};
    inet_pton(AF_INET, known->second.c_str(), &a);
    r += std::string("\xC0\x0C\x00\x01\x00\x01\x00\x00\x00\x3C\x00\x04", 12);
    r.append(reinterpret_cast<const char*>(&a), 4);
  }
  return r;
}

}  // namespace quorlan::testing
