#include "components/snmp/host_resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <fmt/format.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "components/platform/platform.h"

namespace quorlan {
namespace {

// One try waits this long for an answer (doubled on each retry), and a lookup makes this many.
constexpr int kTryMs = 2000;
constexpr int kTries = 2;

[[noreturn]] void Refuse(const std::string& description) {
  throw RuntimeError(err::kComponent, description);
}

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
}

}  // namespace

// A cached name: its last result, when it was learnt, and who waits for the lookup under way.
struct HostResolver::Name {
  Result result;
  int64_t at_ms = 0;
  bool querying = false;
  std::vector<Callback> waiters;
  std::list<std::string>::iterator recent;
};

// The c-ares channel with the descriptors the loop watches for it.
struct HostResolver::Channel {
  ares_channel ares = nullptr;
  int timer_fd = -1;
  EventLoop::WatchId timer_watch = 0;
  std::map<int, EventLoop::WatchId> sockets;
};

// What a c-ares callback needs to find its name again.
struct HostResolver::Query {
  HostResolver* self;
  std::string host;
};

HostResolver::HostResolver(EventLoop& loop) : loop_(loop) {}

HostResolver::~HostResolver() {
  destroying_ = true;
  Close();
}

void HostResolver::Close() {
  if (!channel_) return;
  // Ends the lookups under way (their callbacks see ARES_EDESTRUCTION) and closes the sockets,
  // which reports each of them through OnSocketState.
  ares_destroy(channel_->ares);
  for (const auto& [fd, watch] : channel_->sockets) loop_.Unwatch(watch);
  loop_.Unwatch(channel_->timer_watch);
  close(channel_->timer_fd);
  channel_.reset();
}

HostResolver::Channel& HostResolver::Open() {
  if (channel_) return *channel_;
  InitLibrary();
  auto c = std::make_unique<Channel>();
  ares_options o{};
  o.flags = ARES_FLAG_IGNTC;  // answers of one address never need TCP
  o.timeout = kTryMs;
  o.tries = kTries;
  o.sock_state_cb = &HostResolver::OnSocketState;
  o.sock_state_cb_data = this;
  const int mask = ARES_OPT_FLAGS | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_SOCK_STATE_CB;
  int rc = ares_init_options(&c->ares, &o, mask);
  if (rc != ARES_SUCCESS) Refuse(fmt::format("start the name resolver: {}", ares_strerror(rc)));
  if (!servers_.empty()) rc = ares_set_servers_ports_csv(c->ares, servers_.c_str());
  c->timer_fd =
      rc == ARES_SUCCESS ? timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC) : -1;
  if (c->timer_fd < 0) {
    const int e = errno;
    ares_destroy(c->ares);
    if (rc != ARES_SUCCESS)
      Refuse(fmt::format("name servers '{}': {}", servers_, ares_strerror(rc)));
    Refuse(fmt::format("timerfd_create for the name resolver: {}", std::strerror(e)));
  }
  c->timer_watch = loop_.WatchReadable(c->timer_fd, [this] {
    uint64_t expirations = 0;
    if (read(channel_->timer_fd, &expirations, sizeof expirations) < 0) {
      // Nothing to read: another delivery took the expiry already.
    }
    Process(ARES_SOCKET_BAD);
  });
  channel_ = std::move(c);
  return *channel_;
}

void HostResolver::SetServers(const std::string& servers) {
  if (const size_t n = PendingLookups(); n > 0) {
    Refuse(fmt::format("name servers '{}': {} lookups under way", servers, n));
  }
  Close();
  names_.clear();
  recent_.clear();
  const std::string before = servers_;
  servers_ = servers;
  try {
    Open();
  } catch (const RuntimeError&) {
    servers_ = before;
    throw;
  }
}

size_t HostResolver::PendingLookups() const {
  size_t n = 0;
  for (const auto& [host, name] : names_) n += name.querying ? 1 : 0;
  return n;
}

HostResolver::Result HostResolver::Lookup(const std::string& host, Callback on_done) {
  Result now;
  now.status = Status::kResolved;
  if (host.empty()) {
    now.address.s_addr = htonl(INADDR_ANY);
    return now;
  }
  if (inet_pton(AF_INET, host.c_str(), &now.address) == 1) return now;
  const int64_t now_ms = loop_.clock().MonotonicMs();
  auto it = names_.find(host);
  if (it == names_.end()) {
    Open();
    Evict();
    if (names_.size() >= kMaxNames) {
      return {Status::kFailed,
              {},
              fmt::format("resolve host '{}': {} lookups under way already", host, kMaxNames)};
    }
    it = names_.emplace(host, Name{}).first;
    recent_.push_front(host);
    it->second.recent = recent_.begin();
    Start(host, it->second);
  } else {
    Name& name = it->second;
    Touch(name);
    const bool stale = now_ms - name.at_ms > kFreshMs;
    const bool retry = now_ms - name.at_ms >= kRetryMs;
    if (!name.querying && ((name.result.status == Status::kResolved && stale) ||
                           (name.result.status == Status::kFailed && retry))) {
      if (name.result.status == Status::kFailed) name.result = Result{};
      Start(host, name);
    }
  }
  Name& name = it->second;  // a lookup answered from the hosts file has finished already
  if (name.result.status == Status::kPending && on_done) name.waiters.push_back(std::move(on_done));
  return name.result;
}

void HostResolver::Start(const std::string& host, Name& name) {
  Channel& c = Open();
  name.querying = true;
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_INET;
  hints.ai_flags = ARES_AI_NOSORT;
  ares_getaddrinfo(c.ares, host.c_str(), nullptr, &hints, &HostResolver::OnAnswer,
                   new Query{this, host});
  Rearm();
}

void HostResolver::OnAnswer(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
  const std::unique_ptr<Query> q(static_cast<Query*>(arg));
  in_addr address{};
  bool found = false;
  for (const ares_addrinfo_node* n = result != nullptr ? result->nodes : nullptr;
       n != nullptr && !found; n = n->ai_next) {
    if (n->ai_family != AF_INET || n->ai_addr == nullptr) continue;
    address = reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr;
    found = true;
  }
  if (result != nullptr) ares_freeaddrinfo(result);
  if (status == ARES_EDESTRUCTION || q->self->destroying_) return;
  if (status == ARES_SUCCESS && !found) status = ARES_ENODATA;
  q->self->Finish(q->host, status, found ? &address : nullptr);
}

void HostResolver::Finish(const std::string& host, int status, const in_addr* address) {
  const auto it = names_.find(host);
  if (it == names_.end()) return;
  Name& name = it->second;
  name.querying = false;
  const int64_t now_ms = loop_.clock().MonotonicMs();
  const bool gone = status == ARES_ENOTFOUND || status == ARES_ENODATA;
  if (address != nullptr) {
    name.result = {Status::kResolved, *address, ""};
    name.at_ms = now_ms;
  } else if (name.result.status == Status::kResolved && !gone) {
    // A refresh without an answer: the address known goes on serving; ask again in a while.
    name.at_ms = now_ms - kFreshMs + kRetryMs;
  } else {
    name.result = {
        Status::kFailed, {}, fmt::format("resolve host '{}': {}", host, ares_strerror(status))};
    name.at_ms = now_ms;
  }
  for (Callback& cb : name.waiters) finished_.emplace_back(std::move(cb), name.result);
  name.waiters.clear();
}

void HostResolver::Touch(Name& name) { recent_.splice(recent_.begin(), recent_, name.recent); }

void HostResolver::Evict() {
  if (names_.size() < kMaxNames) return;
  for (auto it = recent_.end(); it != recent_.begin();) {
    --it;
    const auto name = names_.find(*it);
    if (name->second.querying) continue;
    names_.erase(name);
    recent_.erase(it);
    return;
  }
}

void HostResolver::Process(int fd) {
  if (!channel_) return;
  ares_process_fd(channel_->ares, fd, ARES_SOCKET_BAD);
  Rearm();
  RunFinished();
}

void HostResolver::Rearm() {
  if (!channel_) return;
  timeval tv{};
  const timeval* next = ares_timeout(channel_->ares, nullptr, &tv);
  itimerspec spec{};
  if (next != nullptr) {
    spec.it_value.tv_sec = next->tv_sec;
    spec.it_value.tv_nsec = next->tv_usec * 1000;
    // A zero time would disarm the timer: a time-out due now fires at once instead.
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
  }
  timerfd_settime(channel_->timer_fd, 0, &spec, nullptr);
}

void HostResolver::RunFinished() {
  while (!finished_.empty()) {
    auto due = std::move(finished_);
    finished_.clear();
    for (auto& [callback, result] : due) callback(result);
  }
}

void HostResolver::OnSocketState(void* data, int fd, int readable, int writable) {
  auto* self = static_cast<HostResolver*>(data);
  if (!self->channel_) return;
  auto& sockets = self->channel_->sockets;
  const auto it = sockets.find(fd);
  if (readable == 0 && writable == 0) {
    if (it != sockets.end()) {
      self->loop_.Unwatch(it->second);
      sockets.erase(it);
    }
    return;
  }
  if (it == sockets.end()) {
    sockets[fd] = self->loop_.WatchReadable(fd, [self, fd] { self->Process(fd); });
  }
}

}  // namespace quorlan
