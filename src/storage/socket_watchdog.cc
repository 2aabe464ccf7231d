#include "storage/socket_watchdog.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace quorlan {

SocketWatchdog::~SocketWatchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

SocketWatchdog::Guard SocketWatchdog::Watch(int fd, std::chrono::milliseconds limit) {
  if (fd < 0) return Guard(nullptr);
  Arm(fd, limit);
  return Guard(this);
}

SocketWatchdog::Guard SocketWatchdog::WatchConnect(std::vector<OpenSocket> before, int peer_port,
                                                   std::chrono::milliseconds limit) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    before_ = std::move(before);
    peer_port_ = peer_port;
  }
  Arm(kConnecting, limit);
  return Guard(this);
}

void SocketWatchdog::Arm(int fd, std::chrono::milliseconds limit) {
  if (!thread_.joinable()) {
    // The thread inherits a mask that blocks every signal, so none is ever delivered to it.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = fd;
    deadline_ = std::chrono::steady_clock::now() + limit;
  }
  wake_.notify_one();
}

void SocketWatchdog::Disarm() {
  // Under the lock: once this returns, the thread no longer touches the descriptor, which the
  // driver may close at any time after the call.
  std::lock_guard<std::mutex> lock(mutex_);
  fd_ = -1;
}

void SocketWatchdog::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    if (fd_ == -1) {
      wake_.wait(lock);
      continue;
    }
    if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout && fd_ != -1 &&
        std::chrono::steady_clock::now() >= deadline_) {
      const int fd =
          fd_ == kConnecting ? NewSocket(before_, ConnectedStreamSockets(), peer_port_) : fd_;
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
      fd_ = -1;
    }
  }
}

std::vector<OpenSocket> ConnectedStreamSockets() {
  std::vector<OpenSocket> out;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return out;
  const int own = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || end == entry->d_name || fd == own) continue;
    struct stat st {};
    int type = 0;
    socklen_t type_length = sizeof type;
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    if (fstat(static_cast<int>(fd), &st) == 0 && S_ISSOCK(st.st_mode) &&
        getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &type_length) == 0 &&
        type == SOCK_STREAM &&
        getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0 &&
        (peer.ss_family == AF_INET || peer.ss_family == AF_INET6)) {
      const in_port_t port = peer.ss_family == AF_INET
                                 ? reinterpret_cast<const sockaddr_in&>(peer).sin_port
                                 : reinterpret_cast<const sockaddr_in6&>(peer).sin6_port;
      out.push_back({static_cast<int>(fd), st.st_ino, ntohs(port)});
    }
  }
  closedir(dir);
  return out;
}

int NewSocket(const std::vector<OpenSocket>& before, const std::vector<OpenSocket>& after,
              int peer_port) {
  std::vector<OpenSocket> fresh;
  for (const OpenSocket& s : after) {
    const bool old = std::any_of(before.begin(), before.end(), [&s](const OpenSocket& b) {
      return b.fd == s.fd && b.inode == s.inode;
    });
    if (!old) fresh.push_back(s);
  }
  if (fresh.size() == 1) return fresh[0].fd;
  int found = -1;
  for (const OpenSocket& s : fresh) {
    if (s.peer_port != peer_port) continue;
    if (found >= 0) return -1;
    found = s.fd;
  }
  return found;
}

}  // namespace quorlan
