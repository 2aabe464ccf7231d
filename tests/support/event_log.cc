#include "support/event_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace quorlan::testing {

std::vector<LoggedEvent> ReadEventLog(const std::string& app_path) {
  std::ifstream in(app_path + "/Debug/T-AppEvent.txt", std::ios::binary);
  std::vector<LoggedEvent> events;
  if (!in) return events;
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "event log line without CRLF";
    if (end == std::string::npos) break;
    const std::string line = text.substr(start, end - start);
    start = end + 2;
    std::vector<std::string> fields;
    size_t from = 0;
    for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
      fields.push_back(line.substr(from, tab - from));
    }
    fields.push_back(line.substr(from));
    EXPECT_EQ(fields.size(), 4u) << "event log line: " << line;
    if (fields.size() != 4) continue;
    events.push_back({fields[0], fields[1], fields[2], fields[3]});
  }
  return events;
}

}  // namespace quorlan::testing
