// quorlan-trendctl: the companion tool of quorlan-trend. See README.md.
#include <cstdio>
#include <cstring>
#include <string>

#include "components/files.h"
#include "storage/storage.h"

namespace {

constexpr const char* kUsage =
    "Usage: quorlan-trendctl init DIR\n"
    "\n"
    "  init DIR   Create a ready embedded installation of quorlan-trend in DIR (created when\n"
    "             missing): the service executable, the folder Debug, Quorlan.mdb and the SQLite\n"
    "             suite database Quorlan-suite.db with its tables, and a commented Quorlan.ini.\n"
    "             Refuses to touch a folder that already holds an installation.\n"
    "\n"
    "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 3 || std::strcmp(argv[1], "init") != 0 || argv[2][0] == '\0') {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    const std::string executable = quorlan::ExecutableFolder() + "/" + quorlan::kServiceExecutable;
    const std::string root = quorlan::CreateEmbeddedInstallation(argv[2], executable);
    std::printf("Created an embedded installation in %s\n", root.c_str());
    std::printf("Suite database: %s/%s (SQLite)\n", root.c_str(), quorlan::kSuiteDatabase);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorlan-trendctl: %s\n", e.what());
    return 1;
  }
}
