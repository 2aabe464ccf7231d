// Running the project's executables from tests.
#pragma once

#include <string>

namespace quorlan::testing {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs a shell command line in folder, with the given environment assignments prefixed
// ("NAME=value ..."), and collects its output. The command must end by itself.
ProcessResult RunCommand(const std::string& folder, const std::string& command_line);

// The path of a built executable of the project (quorlan-trend, quorlan-trendctl).
std::string BuiltExecutable(const std::string& name);

}  // namespace quorlan::testing
