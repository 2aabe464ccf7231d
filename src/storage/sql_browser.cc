#include "storage/sql_browser.h"

#include <fmt/format.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "components/platform/platform.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

constexpr unsigned char kClntUcastInst = 0x04;
constexpr unsigned char kSvrResp = 0x05;
constexpr size_t kMaxInstanceName = 32;

std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t semi; (semi = text.find(';', start)) != std::string_view::npos; start = semi + 1) {
    out.push_back(text.substr(start, semi - start));
  }
  out.push_back(text.substr(start));
  return out;
}

}  // namespace

std::string SqlBrowserRequest(const std::string& instance) {
  return std::string(1, static_cast<char>(kClntUcastInst)) + instance + std::string(1, '\0');
}

int SqlBrowserTcpPort(std::string_view answer, std::string_view instance) {
  if (answer.size() < 3 || static_cast<unsigned char>(answer[0]) != kSvrResp) return 0;
  const size_t size = static_cast<unsigned char>(answer[1]) |
                      static_cast<size_t>(static_cast<unsigned char>(answer[2])) << 8;
  const std::string_view data = answer.substr(3, size);
  // Key;value pairs; an empty key ends the instance's block.
  const std::vector<std::string_view> fields = SplitFields(data);
  bool ours = false;
  int port = 0;
  for (size_t i = 0; i + 1 < fields.size() && !fields[i].empty(); i += 2) {
    if (EqualsNoCase(fields[i], "InstanceName")) ours = EqualsNoCase(fields[i + 1], instance);
    if (EqualsNoCase(fields[i], "tcp")) {
      const std::string_view digits = fields[i + 1];
      if (digits.empty() || digits.size() > 5 ||
          !std::all_of(digits.begin(), digits.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        return 0;
      }
      port = std::stoi(std::string(digits));
    }
  }
  return ours && port > 0 && port <= 65535 ? port : 0;
}

std::string SqlBrowser::Key(const std::string& host, const std::string& instance) {
  std::string key = host + "\\" + instance;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

int SqlBrowser::Port(const std::string& host, const std::string& instance,
                     std::chrono::steady_clock::time_point deadline) {
  const std::string key = Key(host, instance);
  if (auto it = ports_.find(key); it != ports_.end()) return it->second;
  const int port = Ask(host, instance, deadline);
  ports_[key] = port;
  return port;
}

void SqlBrowser::Forget(const std::string& host, const std::string& instance) {
  ports_.erase(Key(host, instance));
}

int SqlBrowser::Ask(const std::string& host, const std::string& instance,
                    std::chrono::steady_clock::time_point deadline) const {
  using Clock = std::chrono::steady_clock;
  const std::string browser = fmt::format("SQL Server Browser at {}:{}", host, browser_port_);
  if (instance.empty() || instance.size() > kMaxInstanceName) {
    throw RuntimeError(err::kDatabase, fmt::format("instance name '{}' is not 1 to {} characters",
                                                   instance, kMaxInstanceName));
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(browser_port_));
  try {
    to.sin_addr = ResolveIpv4(host);
  } catch (const RuntimeError& e) {
    throw RuntimeError(err::kDatabase, browser + ": " + e.description());
  }
  UdpSocket socket;
  socket.Open("", 0);
  const std::string request = SqlBrowserRequest(instance);
  const std::string from = FormatIpv4(to.sin_addr);
  Clock::time_point next_send = Clock::now();
  for (Clock::time_point now = next_send; now < deadline; now = Clock::now()) {
    if (now >= next_send) {
      socket.SendTo(to, request);  // resent every second: a datagram may be lost
      next_send = now + std::chrono::seconds(1);
    }
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::min(deadline, next_send) - now);
    pollfd p{socket.fd(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::max<int64_t>(1, wait.count())));
    UdpSocket::Datagram d;
    while (socket.Receive(&d)) {
      if (d.from_host != from || d.from_port != browser_port_) continue;
      if (const int port = SqlBrowserTcpPort(d.data, instance); port > 0) return port;
      throw RuntimeError(err::kDatabase,
                         fmt::format("{}: the answer gives no TCP port for instance {} (is TCP "
                                     "enabled for it?)",
                                     browser, instance));
    }
  }
  throw RuntimeError(err::kDatabase,
                     fmt::format("{} did not answer for instance {} in time (give the port: "
                                 "Data Source={}\\{},PORT)",
                                 browser, instance, host, instance));
}

}  // namespace quorlan
