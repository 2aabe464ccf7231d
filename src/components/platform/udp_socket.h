// A non-blocking IPv4 UDP socket for the SNMP components.
//
// Failures of the operating system are thrown as RuntimeError(err::kComponent) whose description
// names the call, the address and the system's reason ("bind udp 0.0.0.0:1626: Address already
// in use"). Not thread-safe; one owner.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorlan {

// "a.b.c.d" or a host name to an IPv4 address (network byte order). "" is the any-address.
// Throws RuntimeError naming the host when it does not resolve. A name blocks the caller until
// the system's resolver answers: code on the event loop resolves names with HostResolver.
in_addr ResolveIpv4(const std::string& host);
std::string FormatIpv4(in_addr address);

class UdpSocket {
 public:
  struct Datagram {
    std::string data;
    std::string from_host;   // dotted quad
    in_addr from_address{};  // the same address
    int from_port = 0;
    bool truncated = false;  // larger than the receive buffer; data holds its first part
  };

  UdpSocket() = default;
  ~UdpSocket() { Close(); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Creates the socket and binds it to host ("" = every local address) and port (0 = a free
  // port). receive_buffer_bytes > 0 asks for a kernel receive buffer of that size (forced beyond
  // the system limit where the process may do so).
  void Open(const std::string& host, int port, int receive_buffer_bytes = 0);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // The bound address and port. REQUIRES: IsOpen().
  std::string LocalHost() const;
  int LocalPort() const;

  // Sends one datagram. Throws RuntimeError on failure, "would block" included.
  void SendTo(const std::string& host, int port, std::string_view data);
  void SendTo(const sockaddr_in& to, std::string_view data);
  // Sends several datagrams, in order, with as few system calls as the system allows (sendmmsg,
  // up to 64 a call). A datagram the system refuses does not stop the others: the result lists
  // the refused ones by their index in out, each with the error SendTo would have thrown.
  struct Outgoing {
    sockaddr_in to;
    std::string_view data;
  };
  struct Refused {
    size_t index;
    std::string error;
  };
  std::vector<Refused> SendMany(const std::vector<Outgoing>& out);
  // Receives one datagram without waiting, in arrival order. Returns false when none is queued.
  // Throws RuntimeError for a failure other than "would block".
  bool Receive(Datagram* out);

  // Up to count datagrams (1..64) are read from the system with one call (recvmmsg) when Receive
  // finds none taken already; 1, the default, reads each with its own call. With more than one,
  // datagrams taken from the system wait in the socket until Receive hands them out: a reader
  // that stops before Receive returns false must go on while Taken() > 0, since the system no
  // longer reports them as readable. Closing the socket drops them.
  void SetReceiveBatch(int count);
  int Taken() const { return batch_.taken - batch_.next; }
  // True when every datagram taken has been handed out and the last read from the system took
  // fewer than a batch holds: the system had no more at that moment. A reader may then wait for
  // readiness instead of asking again (a call that would most likely find nothing).
  bool Drained() const { return batch_.size > 1 && batch_.next == batch_.taken && batch_.drained; }

 private:
  // The datagrams of one recvmmsg: slot i holds datagram i in its own kBufferSize bytes, of which
  // only the pages written become resident.
  struct Batch {
    int size = 1;
    int taken = 0;         // datagrams read into the slots
    int next = 0;          // the next slot to hand out
    bool drained = false;  // the last recvmmsg took fewer than size
    std::unique_ptr<char[]> slots;
    std::unique_ptr<mmsghdr[]> headers;
    std::unique_ptr<iovec[]> iovecs;
    std::unique_ptr<sockaddr_in[]> from;
  };
  bool ReceiveOne(Datagram* out);
  bool ReceiveBatched(Datagram* out);
  [[noreturn]] void ThrowReceive(const char* call, int e) const;

  int fd_ = -1;
  std::unique_ptr<char[]> buffer_;  // kBufferSize bytes once opened; never cleared, only written
  Batch batch_;
};

}  // namespace quorlan
