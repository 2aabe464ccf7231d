// SQL Server Browser look-ups ([MC-SQLR], UDP port 1434): the TCP port of a named instance.
//
// FreeTDS asks the browser itself when a connection string names an instance without a port, but
// retries for 16 seconds whatever the connection time-out; the ODBC client asks here instead,
// within the connection time-out, and passes the port on. Answers are kept per host and instance
// until a connection through the port fails (the instance may have moved to another port).
// Not thread-safe; one owner.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>

namespace quorlan {

// The CLNT_UCAST_INST request for one instance: 0x04, the name, 0x00.
std::string SqlBrowserRequest(const std::string& instance);
// The TCP port that an SVR_RESP answer (0x05, length, "ServerName;...;InstanceName;X;...;tcp;
// 1433;;") gives for the instance; 0 when the answer is malformed, is for another instance or
// names no TCP port.
int SqlBrowserTcpPort(std::string_view answer, std::string_view instance);

class SqlBrowser {
 public:
  explicit SqlBrowser(int browser_port) : browser_port_(browser_port) {}

  // The TCP port of the instance on host: the kept answer, or the browser's, asked by UDP with a
  // resend every second until deadline. Throws RuntimeError(err::kDatabase) naming the browser
  // and the instance when the host does not resolve or no usable answer comes in time.
  int Port(const std::string& host, const std::string& instance,
           std::chrono::steady_clock::time_point deadline);
  // Drops the kept answer for the instance (a connection through its port failed).
  void Forget(const std::string& host, const std::string& instance);

 private:
  int Ask(const std::string& host, const std::string& instance,
          std::chrono::steady_clock::time_point deadline) const;
  static std::string Key(const std::string& host, const std::string& instance);

  int browser_port_;
  std::map<std::string, int> ports_;
};

}  // namespace quorlan
