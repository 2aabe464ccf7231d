#include "components/platform/service_host.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "components/platform/files.h"
#include "components/platform/values.h"

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

// A path in a space-separated path list of a unit (ReadWritePaths=): quoted, specifiers escaped.
std::string QuotePath(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

bool IsUnder(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

// The user and group that own the folder, by name where they have one.
std::pair<std::string, std::string> OwnerOf(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) SystemFail("install: owner of " + folder, errno);
  const passwd* user = getpwuid(st.st_uid);
  const group* grp = getgrgid(st.st_gid);
  return {user != nullptr ? user->pw_name : std::to_string(st.st_uid),
          grp != nullptr ? grp->gr_name : std::to_string(st.st_gid)};
}

// A value of the unit's lines: a control character (a line break above all) would end its line
// and let the rest be read as lines of their own (ExecStart=+... runs as root), and systemd
// drops blanks at the end of a value, so a folder whose name ends in one would not be the one
// installed.
void RequireUnitValue(const char* what, const std::string& value) {
  for (size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c < 0x20 || c == 0x7f) {
      throw RuntimeError(err::kComponent,
                         fmt::format("install: {} holds a control character (byte {}, code {}), "
                                     "which a systemd unit cannot carry; nothing was installed",
                                     what, i + 1, static_cast<int>(c)));
    }
  }
  if (!value.empty() && value.back() == ' ') {
    throw RuntimeError(err::kComponent, fmt::format("install: {} ends in a blank, which systemd "
                                                    "drops; nothing was installed",
                                                    what));
  }
}

const int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2};

bool IsStopSignal(int signal) { return signal == SIGTERM || signal == SIGINT || signal == SIGHUP; }

std::string FolderOf(const std::string& path) {
  const std::string folder = path.substr(0, path.rfind('/'));
  return folder.empty() ? "/" : folder;
}

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
                                         const std::string& exe_path, const std::string& user,
                                         const std::string& group) {
  const std::string folder = FolderOf(exe_path);
  // An installation inside a home folder or a temporary folder stays reachable.
  const bool in_home =
      IsUnder(folder, "/home") || IsUnder(folder, "/root") || IsUnder(folder, "/run/user");
  const bool in_tmp = IsUnder(folder, "/tmp") || IsUnder(folder, "/var/tmp");
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
      "User={}\n"
      "Group={}\n"
      "Restart=on-failure\n"
      "RestartSec=10\n"
      "TimeoutStartSec=300\n"
      "TimeoutStopSec=90\n"
      "UMask=0027\n"
      "NoNewPrivileges=yes\n"
      "CapabilityBoundingSet=\n"
      "AmbientCapabilities=\n"
      "ProtectSystem=strict\n"
      "ReadWritePaths={}\n"
      "ProtectHome={}\n"
      "PrivateTmp={}\n"
      "PrivateDevices=yes\n"
      "PrivateMounts=yes\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "ProtectHostname=yes\n"
      "ProtectProc=invisible\n"
      "ProcSubset=pid\n"
      "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
      "RestrictNamespaces=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictSUIDSGID=yes\n"
      "LockPersonality=yes\n"
      "MemoryDenyWriteExecute=yes\n"
      "RemoveIPC=yes\n"
      "KeyringMode=private\n"
      "SystemCallArchitectures=native\n"
      "SystemCallFilter=@system-service\n"
      "SystemCallFilter=~@privileged @resources\n"
      "SystemCallErrorNumber=EPERM\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      EscapeSpecifiers(service_name), QuoteExecArgument(exe_path), EscapeSpecifiers(folder),
      EscapeSpecifiers(user), EscapeSpecifiers(group), QuotePath(folder),
      in_home ? "read-only" : "yes", in_tmp ? "no" : "yes");
}

void SystemdServiceHost::Install(const std::string& service_name, int /*option*/) {
  if (!DirectoryExists(unit_dir_)) {
    throw RuntimeError(err::kPathNotFound, fmt::format("install {}: unit folder {} does not exist",
                                                       kUnitName, unit_dir_));
  }
  const auto [user, group] = OwnerOf(FolderOf(exe_path_));
  RequireUnitValue("the installation folder", FolderOf(exe_path_));
  RequireUnitValue("the executable's path", exe_path_);
  RequireUnitValue("the folder's owner", user);
  RequireUnitValue("the folder's group", group);
  WriteNewFile(UnitPath(), UnitText(service_name, exe_path_, user, group));
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
  foreground_ = std::getenv("INVOCATION_ID") == nullptr;
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
    if (!stop_seen_ && !start_failed_) sd_notify(0, "READY=1");
  });
}

void SystemdServiceHost::OnSignal() {
  signalfd_siginfo info;
  while (::read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    switch (info.ssi_signo) {
      case SIGTERM:
      case SIGINT:
      case SIGHUP:
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

bool SystemdServiceHost::StopRequested() const {
  if (stop_seen_) return true;
  if (signal_fd_ < 0) return false;
  // A blocked stop signal stays pending until the event loop reads it from the signal descriptor.
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int s : kSignals) {
    if (IsStopSignal(s) && sigismember(&pending, s) == 1) return true;
  }
  return false;
}

void SystemdServiceHost::SetStatus(const std::string& text) {
  std::string line = text;
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  sd_notify(0, ("STATUS=" + line).c_str());
}

void SystemdServiceHost::FailStart(const std::string& why) {
  start_failed_ = true;
  SetStatus(why);
  fmt::print(stderr, "quorlan-trend: {}\n", why);
  std::fflush(stderr);
  loop_.Quit();
}

int JournalPriority(int16_t event_type) {
  switch (event_type) {
    case 1:
      return LOG_ERR;
    case 2:
      return LOG_WARNING;
    case 3:
      return LOG_INFO;
    default:
      return LOG_NOTICE;
  }
}

void SystemdServiceHost::Journal(int16_t event_type, const std::string& source,
                                 const std::string& message) {
  sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", JournalPriority(event_type),
                  "SYSLOG_IDENTIFIER=quorlan-trend", "QUORLAN_SOURCE=%s", source.c_str(),
                  "QUORLAN_EVENT_TYPE=%d", static_cast<int>(event_type), nullptr);
  if (foreground_) fmt::print(stderr, "{} {}: {}\n", event_type, source, message);
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

namespace {

// Creates the lock file afresh for the folder's owner: nobody else can have it open.
int CreateLockFile(const std::string& path, const struct stat& folder) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  if (geteuid() == 0 && folder.st_uid != 0 && fchown(fd, folder.st_uid, folder.st_gid) != 0) {
    const int e = errno;
    ::close(fd);
    SystemFail("hand the instance lock " + path + " to the folder's owner", e);
  }
  return fd;
}

// The open lock file of the folder. A file that others could have opened (another owner than the
// folder's, or access for group or others) is replaced, so that no descriptor of theirs can hold
// the lock.
int OpenLockFile(const std::string& path, const struct stat& folder) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = CreateLockFile(path, folder);
    if (fd >= 0) return fd;
    if (errno != EEXIST) SystemFail("create the instance lock " + path, errno);
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) SystemFail("open the instance lock " + path, errno);
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0 &&
        st.st_uid == folder.st_uid) {
      return fd;
    }
    ::close(fd);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      SystemFail("replace the instance lock " + path + ", which others could open", errno);
    }
  }
  throw RuntimeError(err::kComponent, "the instance lock " + path + " keeps being replaced");
}

}  // namespace

bool InstanceLock::Acquire(const std::string& folder) {
  const std::string path = folder + "/" + kLockFileName;
  struct stat folder_stat {};
  if (::stat(folder.c_str(), &folder_stat) != 0) {
    SystemFail("instance lock: installation folder " + folder, errno);
  }
  const int fd = OpenLockFile(path, folder_stat);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    if (e == EWOULDBLOCK) return false;
    SystemFail("lock " + path, e);
  }
  fd_ = fd;
  return true;
}

}  // namespace quorlan
