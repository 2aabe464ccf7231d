// A name server for tests, on 127.0.0.1 and the test's own event loop: it answers A queries for the
// names it was given, "no such name" for any other, and nothing at all while it is silent. It
// stages what the real resolver cannot be made to do on demand (a name that does not resolve, a
// server that never answers) without touching the machine's resolver configuration.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "components/platform/platform.h"

namespace quorlan::testing {

class FakeNameServer {
 public:
  // REQUIRES: loop outlives the server.
  explicit FakeNameServer(EventLoop& loop);
  ~FakeNameServer();
  FakeNameServer(const FakeNameServer&) = delete;
  FakeNameServer& operator=(const FakeNameServer&) = delete;

  int port() const { return socket_.LocalPort(); }
  // "127.0.0.1:<port>", for SnmpManager::SetNameServers.
  std::string Address() const;
  // name (compared without regard to case) resolves to the dotted quad address.
  void Add(const std::string& name, const std::string& address);
  void SetSilent(bool silent) { silent_ = silent; }
  // The names asked for so far, in order.
  const std::vector<std::string>& Queries() const { return queries_; }

 private:
  void OnReadable();
  std::string Answer(const std::string& query);

  EventLoop& loop_;
  UdpSocket socket_;
  EventLoop::WatchId watch_ = 0;
  std::map<std::string, std::string> names_;
  bool silent_ = false;
  std::vector<std::string> queries_;
};

}  // namespace quorlan::testing
