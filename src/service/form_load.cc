#include <unistd.h>

#include <cstdio>

#include "components/platform/platform.h"
#include "service/service.h"

namespace quorlan {
namespace {

constexpr int kStyleNone = 0;
constexpr int kStyleCritical = 16;
constexpr int kStyleInformation = 64;
constexpr const char* kTitle = "Quorlan";

// The message shown when start-up fails outside install and uninstall: the database client is the
// usual cause.
std::string DatabaseAdvice() {
  return "Error when accessing the Database.\n\n"
         "The Microsoft Data Access Components (MDAC) 2.5 or greater must be\n"
         "installed on the computer. The MDAC 2.5 could be found on:\n\n"
         "the Debian packages unixodbc, libsqliteodbc and tdsodbc (scripts/bootstrap)\n\n"
         "or on the Quorlan CD-ROM in the MDAC directory.";
}

std::string FailureMessage(const std::string& pending) {
  if (pending == "install") return "Quorlan Trend Reporting Service Failed To Install";
  if (pending == "uninstall") return "Quorlan Trend Reporting Service Failed To Uninstall";
  return DatabaseAdvice();
}

int Install(Module& m, const std::string& args, Console& console, std::string* pending) {
  if (::chdir(m.AppPath.c_str()) != 0 || !FileExists(m.AppPath + "/Quorlan.mdb")) {
    console.MessageBox("Quorlan.mdb does not exits", kStyleNone, "");
    return kExitRefused;
  }
  *pending = "install";
  m.dartSvc.Install(kServiceName, 1);
  AppEvent(m, kModForm, "Form_Load", "Service Installed", kEventInfo);
  if (args != "-install_noMsg") {
    console.MessageBox("Quorlan Trend Reporting Service Installed Successfully", kStyleInformation,
                       kTitle);
  }
  return kExitOk;
}

int Uninstall(Module& m, Console& console, std::string* pending) {
  *pending = "uninstall";
  m.dartSvc.Uninstall(kServiceName);
  AppEvent(m, kModForm, "Form_Load", "Service Uninstalled", kEventInfo);
  console.MessageBox("Quorlan Trend Reporting Service Uninstalled Successfully", kStyleInformation,
                     kTitle);
  return kExitOk;
}

}  // namespace

void StdConsole::MessageBox(const std::string& text, int style, const std::string& /*title*/) {
  std::string line = text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::FILE* out = style == kStyleCritical ? stderr : stdout;
  std::fprintf(out, "%s\n", line.c_str());
  std::fflush(out);
}

int FormLoad(Module& m, const std::string& args, InstanceLock& lock, Console& console) {
  std::string pending;
  try {
    // A second copy of the same installation is refused before its arguments are looked at.
    if (!lock.Acquire(m.AppPath)) {
      console.MessageBox("The Quorlan Trend Reporting Service is already running",
                         kStyleInformation, kTitle);
      return kExitRefused;
    }
    if (args.compare(0, 8, "-install") == 0) return Install(m, args, console, &pending);
    if (args == "-uninstall") return Uninstall(m, console, &pending);
    if (!args.empty()) {
      console.MessageBox("Invalid command option", kStyleInformation, kTitle);
      return kExitRefused;
    }
    m.dartSvc.Run();
    return kEnterServiceMode;
  } catch (const std::exception& e) {
    AppEvent(m, kModForm, "Form_Load", e.what(), kEventError);
    console.MessageBox(FailureMessage(pending), kStyleCritical, kTitle);
    return kExitFailure;
  }
}

}  // namespace quorlan
