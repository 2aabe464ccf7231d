// Host names to IPv4 addresses without ever blocking the event loop, for the SNMP manager.
//
// A dotted quad (and "", the any-address) converts at once and never reaches the resolver. A name
// is resolved in the background by c-ares on the event loop: its sockets are watched for
// readiness and its time-outs come from a timer descriptor, so no call here waits. The hosts file
// and the name servers of /etc/resolv.conf are used unless other servers are set. A lookup makes
// two tries of 2 s and 4 s before it gives up.
//
// Cache: a name's address is used for kFreshMs after it was learnt; after that the address still
// serves while a refresh runs in the background. A refresh that finds the name gone (no such name,
// no address) forgets the address; one that gets no answer keeps it, so an outage of the name
// servers does not stop polling. A name that did not resolve is refused for kRetryMs and then
// asked again. At most kMaxNames names are kept; the one used least recently is dropped first.
//
// Everything runs on the loop's thread; nothing here is thread-safe. Callbacks run from event
// delivery, never inside Lookup, and are dropped (never called) when the resolver is destroyed.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "components/platform/platform.h"

struct ares_addrinfo;

namespace quorlan {

class HostResolver {
 public:
  static constexpr int64_t kFreshMs = 300'000;
  static constexpr int64_t kRetryMs = 30'000;
  static constexpr size_t kMaxNames = 1024;

  enum class Status { kResolved, kPending, kFailed };
  struct Result {
    Status status = Status::kPending;
    in_addr address{};  // kResolved
    std::string error;  // kFailed: "resolve host 'x': Domain name not found"
  };
  using Callback = std::function<void(const Result&)>;

  // REQUIRES: loop outlives the resolver.
  explicit HostResolver(EventLoop& loop);
  ~HostResolver();
  HostResolver(const HostResolver&) = delete;
  HostResolver& operator=(const HostResolver&) = delete;

  // Name servers to ask, "address[:port]" separated by commas ("127.0.0.1:5353"); "" takes those
  // of /etc/resolv.conf again. Forgets the cached names. Throws RuntimeError for a text c-ares
  // does not take, or while lookups are under way.
  void SetServers(const std::string& servers);

  // The address of host now (kResolved), the reason it cannot be had (kFailed), or kPending after
  // starting a lookup; only then on_done, if given, runs once when the lookup ends, with its
  // result (kResolved or kFailed). on_done must not throw. Throws RuntimeError when the resolver
  // cannot start (no timer descriptor, name servers c-ares refuses).
  Result Lookup(const std::string& host, Callback on_done = nullptr);

  // Names cached, and lookups under way.
  size_t CacheSize() const { return names_.size(); }
  size_t PendingLookups() const;

 private:
  struct Name;
  struct Channel;
  struct Query;

  Channel& Open();
  void Close();
  void Start(const std::string& host, Name& name);
  void Finish(const std::string& host, int status, const in_addr* address);
  void Touch(Name& name);
  void Evict();
  void Process(int fd);
  void Rearm();
  void RunFinished();
  static void OnSocketState(void* data, int fd, int readable, int writable);
  static void OnAnswer(void* arg, int status, int timeouts, ::ares_addrinfo* result);

  EventLoop& loop_;
  std::string servers_;
  std::unique_ptr<Channel> channel_;
  std::map<std::string, Name> names_;
  std::list<std::string> recent_;                      // names, most recently used first
  std::vector<std::pair<Callback, Result>> finished_;  // callbacks due after c-ares returns
  bool destroying_ = false;
};

}  // namespace quorlan
