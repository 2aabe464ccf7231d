// quorlan-trendctl: the companion tool of quorlan-trend. See README.md.
#include <cstdio>
#include <cstring>
#include <string>

#include "components/files.h"
#include "components/service_host.h"
#include "storage/storage.h"

namespace {

constexpr const char* kUsage =
    "Usage: quorlan-trendctl init DIR\n"
    "       quorlan-trendctl upgrade DIR\n"
    "\n"
    "  init DIR      Create a ready embedded installation of quorlan-trend in DIR (created when\n"
    "                missing): the service executable, the folder Debug, Quorlan.mdb and the\n"
    "                SQLite suite database Quorlan-suite.db with its tables, and a commented\n"
    "                Quorlan.ini. Refuses to touch a folder that already holds an installation.\n"
    "  upgrade DIR   Bring the installation in DIR forward to this version: the SQLite suite\n"
    "                database's tables never give an id twice. Keeps every row. The service must\n"
    "                be stopped.\n"
    "\n"
    "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";

int Init(const char* dir) {
  const std::string executable = quorlan::ExecutableFolder() + "/" + quorlan::kServiceExecutable;
  const std::string root = quorlan::CreateEmbeddedInstallation(dir, executable);
  std::printf("Created an embedded installation in %s\n", root.c_str());
  std::printf("Suite database: %s/%s (SQLite)\n", root.c_str(), quorlan::kSuiteDatabase);
  return 0;
}

int Upgrade(const char* dir) {
  // The service's own lock: no upgrade under a running service.
  quorlan::InstanceLock lock;
  if (!lock.Acquire(dir)) {
    std::fprintf(stderr, "quorlan-trendctl: the service of %s is running; stop it first\n", dir);
    return 1;
  }
  for (const std::string& line : quorlan::UpgradeInstallation(dir)) {
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const bool init = argc == 3 && std::strcmp(argv[1], "init") == 0;
  const bool upgrade = argc == 3 && std::strcmp(argv[1], "upgrade") == 0;
  if ((!init && !upgrade) || argv[2][0] == '\0') {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    return init ? Init(argv[2]) : Upgrade(argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quorlan-trendctl: %s\n", e.what());
    return 1;
  }
}
