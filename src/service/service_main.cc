#include <cstdlib>

#include "components/platform/platform.h"
#include "service/service.h"

namespace quorlan {
namespace {

// The whole argument string, as the command line gave it: arguments joined by blanks.
std::string ArgumentString(int argc, char** argv) {
  std::string args;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) args += ' ';
    args += argv[i];
  }
  return args;
}

}  // namespace

void CoalesceAnswers(Module& m, EventLoop& loop) {
  loop.SetCoalesceMs(1, [&m] { return m.Pending + m.PendingV3 > 1; });
}

int ServiceMain(int argc, char** argv) {
  ReturnLargeBlocksWhenFreed();
  StdConsole console;
  std::string exe_path;
  try {
    exe_path = ExecutablePath();
  } catch (const std::exception& e) {
    console.MessageBox(e.what(), 16, "Quorlan");
    return kExitFailure;
  }
  const std::string app_path = exe_path.substr(0, exe_path.rfind('/'));
  // The unit folder can be overridden (tests); then systemctl is never called.
  const char* unit_dir_env = std::getenv("QUORLAN_UNIT_DIR");
  const bool own_unit_dir = unit_dir_env != nullptr && *unit_dir_env != '\0';
  const bool systemd_runs = DirectoryExists("/run/systemd/system");
  const std::string unit_dir = own_unit_dir ? unit_dir_env : "/etc/systemd/system";

  SystemClock clock;
  EventLoop loop(clock);
  SystemdServiceHost host(loop, exe_path, unit_dir, !own_unit_dir && systemd_runs);
  Module module(app_path.empty() ? "/" : app_path, clock, loop, host);
  CoalesceAnswers(module, loop);
  InstanceLock lock;
  const int status = FormLoad(module, ArgumentString(argc, argv), lock, console);
  if (status != kEnterServiceMode) return status;
  // Every handler reports its own errors; anything that still escapes one (an exhausted memory,
  // a fault of our own) is logged and the service goes on with the next event.
  while (!loop.QuitRequested()) {
    try {
      loop.RunOnce(-1);
    } catch (const std::exception& e) {
      AppEvent(module, kModForm, "EventLoop", e.what(), kEventError);
    }
  }
  return host.StartFailed() ? kExitFailure : kExitOk;
}

}  // namespace quorlan
