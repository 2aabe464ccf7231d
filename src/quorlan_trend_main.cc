// quorlan-trend: the trend-reporting service. See README.md.
#include <cstdio>
#include <cstring>

#include "service/service.h"

namespace {

constexpr const char* kUsage =
    "Usage: quorlan-trend                 run the service (systemd starts it so)\n"
    "       quorlan-trend -install        register the systemd unit of this installation\n"
    "       quorlan-trend -install_noMsg  the same without the confirmation line\n"
    "       quorlan-trend -uninstall      disable and remove the unit\n"
    "       quorlan-trend --help          this text\n"
    "\n"
    "The installation is the folder of the executable: its Quorlan.mdb, Quorlan.ini and Debug/.\n"
    "quorlan-trendctl(1) is its console; quorlan-trend(8) describes the service.\n";

}  // namespace

int main(int argc, char** argv) {
  // Asking for the usage needs neither the installation nor its lock.
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return quorlan::ServiceMain(argc, argv);
}
