#include "support/process.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/temp_dir.h"

namespace quorlan::testing {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

ProcessResult RunCommand(const std::string& folder, const std::string& command_line) {
  TempDir io;
  const std::string full = "cd '" + folder + "' && " + command_line + " >'" + io.File("out") +
                           "' 2>'" + io.File("err") + "' </dev/null";
  const int rc = std::system(full.c_str());
  ProcessResult r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = Slurp(io.File("out"));
  r.err = Slurp(io.File("err"));
  return r;
}

std::string BuiltExecutable(const std::string& name) {
  return std::string(QUORLAN_BINARY_DIR) + "/" + name;
}

}  // namespace quorlan::testing
