// Reading the application event log of a test installation.
#pragma once

#include <string>
#include <vector>

namespace quorlan::testing {

struct LoggedEvent {
  std::string time_stamp;
  std::string type;
  std::string source;  // module "_" procedure
  std::string message;
};

// The events of app_path/Debug/T-AppEvent.txt, in order; empty when the file does not exist.
// Fails the current test when a line does not have exactly four tab-separated fields or does not
// end with CRLF.
std::vector<LoggedEvent> ReadEventLog(const std::string& app_path);

}  // namespace quorlan::testing
