#include "components/service_host.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "components/files.h"
#include "components/values.h"

extern char** environ;

namespace quorlan {
namespace {

[[noreturn]] void SystemFail(const std::string& what, int error) {
  throw RuntimeError(err::kComponent, fmt::format("{}: {}", what, std::strerror(error)));
}

// Runs a program with arguments (no shell) and waits for it; throws unless it exits with 0.
void RunProgram(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string command = fmt::format("{}", fmt::join(args, " "));
  // The child starts with no signal blocked and default dispositions, whatever the service's own.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid;
  const int rc = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) SystemFail(command, rc);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) SystemFail("wait for " + command, errno);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw RuntimeError(err::kComponent, fmt::format("{}: exit status {}", command,
                                                    WIFEXITED(status) ? WEXITSTATUS(status)
                                                                      : 128 + WTERMSIG(status)));
  }
}

// An argument of ExecStart: quoted, with systemd's specifier and variable characters escaped.
std::string QuoteExecArgument(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    if (c == '$') out += '$';
    out += c;
  }
  return out + "\"";
}

std::string EscapeSpecifiers(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

const int kSignals[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2};

}  // namespace

SystemdServiceHost::SystemdServiceHost(EventLoop& loop, std::string exe_path, std::string unit_dir,
                                       bool use_systemctl)
    : loop_(loop),
      exe_path_(std::move(exe_path)),
      unit_dir_(std::move(unit_dir)),
      use_systemctl_(use_systemctl) {}

SystemdServiceHost::~SystemdServiceHost() {
  if (watch_ != 0) loop_.Unwatch(watch_);
  if (signal_fd_ >= 0) ::close(signal_fd_);
  if (mask_saved_) sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
}

std::string SystemdServiceHost::UnitText(const std::string& service_name,
                                         const std::string& exe_path) {
  const std::string folder = exe_path.substr(0, exe_path.rfind('/'));
  return fmt::format(
      "[Unit]\n"
      "Description={}\n"
      "Wants=network-online.target\n"
      "After=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "NotifyAccess=main\n"
      "ExecStart={}\n"
      "WorkingDirectory={}\n"
      "Restart=on-failure\n"
      "RestartSec=10\n"
      "TimeoutStartSec=300\n"
      "TimeoutStopSec=60\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      EscapeSpecifiers(service_name), QuoteExecArgument(exe_path),
      EscapeSpecifiers(folder.empty() ? "/" : folder));
}

void SystemdServiceHost::Install(const std::string& service_name, int /*option*/) {
  if (!DirectoryExists(unit_dir_)) {
    throw RuntimeError(err::kPathNotFound, fmt::format("install {}: unit folder {} does not exist",
                                                       kUnitName, unit_dir_));
  }
  WriteNewFile(UnitPath(), UnitText(service_name, exe_path_));
  if (use_systemctl_) {
    RunProgram({"systemctl", "daemon-reload"});
    RunProgram({"systemctl", "enable", kUnitName});
  }
}

void SystemdServiceHost::Uninstall(const std::string& /*service_name*/) {
  if (!FileExists(UnitPath())) {
    throw RuntimeError(
        err::kFileNotFound,
        fmt::format("uninstall: {} is not installed ({} does not exist)", kUnitName, UnitPath()));
  }
  if (use_systemctl_) RunProgram({"systemctl", "disable", kUnitName});
  DeleteFile(UnitPath());
  if (use_systemctl_) RunProgram({"systemctl", "daemon-reload"});
}

void SystemdServiceHost::Run() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kSignals) sigaddset(&set, s);
  if (sigprocmask(SIG_BLOCK, &set, &saved_mask_) != 0) {
    SystemFail("block service signals", errno);
  }
  mask_saved_ = true;
  signal_fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd_ < 0) SystemFail("signalfd for service signals", errno);
  watch_ = loop_.WatchReadable(signal_fd_, [this] { OnSignal(); });
  loop_.Post([this] {
    Deliver(kStateStart);
    if (!stop_seen_) sd_notify(0, "READY=1");
  });
}

void SystemdServiceHost::OnSignal() {
  signalfd_siginfo info;
  while (::read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    switch (info.ssi_signo) {
      case SIGTERM:
      case SIGINT:
        if (stop_seen_) break;
        stop_seen_ = true;
        sd_notify(0, "STOPPING=1");
        if (handler_depth_ > 0) {
          stop_pending_ = true;
        } else {
          DeliverStop();
        }
        break;
      case SIGUSR1:
        Deliver(kStatePause);
        break;
      case SIGUSR2:
        Deliver(kStateResume);
        break;
      default:
        break;
    }
  }
}

void SystemdServiceHost::Deliver(int state) {
  state_ = state;
  {
    struct Depth {
      int& depth;
      ~Depth() { --depth; }
    } depth{++handler_depth_};
    if (OnState) OnState();
  }
  if (handler_depth_ == 0 && stop_pending_) {
    stop_pending_ = false;
    DeliverStop();
  }
}

void SystemdServiceHost::DeliverStop() {
  Deliver(kStateStop);
  loop_.Quit();
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool InstanceLock::Acquire(const std::string& path) {
  // FNV-1a of the path keeps the name short and fixed in length.
  uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : path) hash = (hash ^ c) * 1099511628211ULL;
  const std::string name = fmt::format("quorlan-trend/{:016x}", hash);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());  // abstract: sun_path[0] is 0
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) SystemFail("socket for the instance lock", errno);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    const int e = errno;
    ::close(fd);
    if (e == EADDRINUSE) return false;
    SystemFail("bind the instance lock " + name, e);
  }
  fd_ = fd;
  return true;
}

}  // namespace quorlan
