// Ends driver calls that a database server leaves unanswered.
//
// A statement on a database server has the query time-out of the driver; FreeTDS then asks the
// server to cancel the statement and waits as long again for the server's confirmation, so a
// server that stopped answering altogether would hold the call for twice the time-out. The
// watchdog shuts down the connection's socket when a call outlives its limit (the query time-out
// plus a short wait for the cancel's confirmation): the driver's read then ends at once and the
// call fails with the driver's time-out diagnostics.
//
// One thread, started with the first watched call, with every signal blocked (the service takes
// its signals through a signal descriptor). Calls are watched one at a time, from one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace quorlan {

// The connected TCP sockets the process holds, as (descriptor, inode) pairs: taken before and
// after a driver connects, the difference is the driver's socket of that connection (FreeTDS
// also opens a local socket pair of its own, which is not counted).
struct OpenSocket {
  int fd;
  ino_t inode;
  int peer_port;
};

class SocketWatchdog {
 public:
  SocketWatchdog() = default;
  ~SocketWatchdog();
  SocketWatchdog(const SocketWatchdog&) = delete;
  SocketWatchdog& operator=(const SocketWatchdog&) = delete;

  // Watches one call on socket fd for as long as the Guard lives.
  class Guard {
   public:
    ~Guard() {
      if (dog_ != nullptr) dog_->Disarm();
    }
    Guard(Guard&& other) noexcept : dog_(other.dog_) { other.dog_ = nullptr; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    friend class SocketWatchdog;
    explicit Guard(SocketWatchdog* dog) : dog_(dog) {}
    SocketWatchdog* dog_;
  };
  // REQUIRES: no other call is being watched. fd < 0 watches nothing.
  Guard Watch(int fd, std::chrono::milliseconds limit);
  // Watches a connect to peer_port, whose socket is not known yet: at the deadline, the socket
  // connected to that port that is not among before (see NewSocket) is shut down.
  Guard WatchConnect(std::vector<OpenSocket> before, int peer_port,
                     std::chrono::milliseconds limit);

 private:
  static constexpr int kConnecting = -2;  // fd_ of a watched connect
  void Arm(int fd, std::chrono::milliseconds limit);
  void Disarm();
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  bool quit_ = false;
  int fd_ = -1;  // the watched socket, -1 when nothing is watched, kConnecting for a connect
  std::chrono::steady_clock::time_point deadline_;
  std::vector<OpenSocket> before_;  // of a watched connect
  int peer_port_ = 0;
};

std::vector<OpenSocket> ConnectedStreamSockets();
// The socket of after that is not in before: the only one, or else the only one connected to
// peer_port (a server in the same process holds the other end); -1 when there is none such.
int NewSocket(const std::vector<OpenSocket>& before, const std::vector<OpenSocket>& after,
              int peer_port);

}  // namespace quorlan
