// The service host (`dartSvc`): registers the executable as a systemd service, connects a running
// process to systemd and turns signals into service state events.
//
// States, as the State event reports them: 0 stop, 1 pause, 2 start, 3 resume.
//   - Run() returns at once; the event loop then delivers the start state (2) once.
//   - SIGTERM, SIGINT and SIGHUP (a closing terminal) deliver stop (0); after the State handler has
//     run the stop sequence the host ends the event loop, so the process exits. A stop that arrives
//     while another State handler runs (the start pauses for several seconds, delivering events) is
//     held until that handler has returned, so the start never finishes after the stop. Further
//     stop signals are ignored once a stop has been seen.
//   - SIGUSR1 delivers pause (1) and SIGUSR2 resume (3).
// With systemd (Type=notify) the host reports READY=1 after the start handler has returned and
// STOPPING=1 before the stop handler runs, and SetStatus shows a text in `systemctl status`;
// without systemd these notifications do nothing.
#pragma once

#include <signal.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "components/platform/event_loop.h"

namespace quorlan {

inline constexpr int kStateStop = 0;
inline constexpr int kStatePause = 1;
inline constexpr int kStateStart = 2;
inline constexpr int kStateResume = 3;

// Where the service's application events go besides its own log: the system's journal.
class EventJournal {
 public:
  virtual ~EventJournal() = default;
  // Hands over one event: its type (1 error, 2 warning, 3 information; see JournalPriority), its
  // source ("module_procedure") and its message. Never throws: the journal is a second copy of the
  // log, and an event that cannot reach it is not reported again.
  virtual void Journal(int16_t event_type, const std::string& source,
                       const std::string& message) = 0;
};

// The syslog priority of an application event type: 1 (error) LOG_ERR, 2 (warning) LOG_WARNING,
// 3 (information) LOG_INFO, any other LOG_NOTICE.
int JournalPriority(int16_t event_type);

class ServiceHost : public EventJournal {
 public:
  // Registers the running executable as the service service_name. option is accepted for the
  // caller's sake and has no meaning here. Throws RuntimeError on failure.
  virtual void Install(const std::string& service_name, int option) = 0;
  // Removes the registration. Throws RuntimeError on failure (also when none exists).
  virtual void Uninstall(const std::string& service_name) = 0;
  // Connects the process to the host; State events follow through the event loop. Throws
  // RuntimeError on failure.
  virtual void Run() = 0;
  // The state last reported.
  virtual int State() const = 0;
  // True once a stop has been asked for, also while it is still waiting to be delivered (a long
  // State handler or a database call holds the event loop). Long sequences check it between
  // steps so that the stop is not kept waiting.
  virtual bool StopRequested() const = 0;
  // Tells the host why the service is in the state it is in (one line; shown by the host's
  // status display).
  virtual void SetStatus(const std::string& text) = 0;
  // Ends a start that cannot go on (a port that cannot be bound): why becomes the status line and
  // a line on stderr, the host reports no readiness, and the process ends with a failure status
  // once the State handler has returned.
  virtual void FailStart(const std::string& why) = 0;

  // Events, delivered on the event loop's thread.
  std::function<void()> OnState;
  std::function<void(int number, const std::string& description)> OnError;
};

// The systemd implementation.
//
// Install writes the unit "quorlan-trend.service" for exe_path into unit_dir and, when systemd
// runs (/run/systemd/system exists) and the unit folder is the system's, reloads systemd and
// enables the unit. With a unit folder given by the caller (tests), no systemctl call is made.
// The unit runs the service as the owner (user and group) of the installation folder, inside
// systemd's sandbox: the file system read-only except the installation folder, no home folders,
// a private /tmp and /dev, no new privileges, no capabilities, IP and local sockets only.
// Install refuses (RuntimeError, nothing written) an executable's path, folder, user or group that
// holds a control character, and a folder whose name ends in a blank: a line break would let the
// rest of the name be read as lines of the unit, and systemd drops blanks at a value's end. The
// path is quoted in ExecStart and ReadWritePaths and its specifiers escaped.
class SystemdServiceHost final : public ServiceHost {
 public:
  // REQUIRES: loop outlives the host. use_systemctl: whether Install/Uninstall call systemctl.
  SystemdServiceHost(EventLoop& loop, std::string exe_path, std::string unit_dir,
                     bool use_systemctl);
  ~SystemdServiceHost() override;

  void Install(const std::string& service_name, int option) override;
  void Uninstall(const std::string& service_name) override;
  void Run() override;
  int State() const override { return state_; }
  bool StopRequested() const override;
  void SetStatus(const std::string& text) override;
  void FailStart(const std::string& why) override;
  // To the systemd journal (sd_journal_send: MESSAGE, PRIORITY, SYSLOG_IDENTIFIER
  // "quorlan-trend", QUORLAN_SOURCE, QUORLAN_EVENT_TYPE); a service that systemd did not start
  // (Run without INVOCATION_ID: in the foreground) also writes the event as a line on stderr.
  void Journal(int16_t event_type, const std::string& source, const std::string& message) override;
  // True after FailStart: the process is to exit with a failure status.
  bool StartFailed() const { return start_failed_; }

  // The unit text written by Install: the service runs as user and group (names or numbers).
  static std::string UnitText(const std::string& service_name, const std::string& exe_path,
                              const std::string& user, const std::string& group);
  static constexpr const char* kUnitName = "quorlan-trend.service";

 private:
  void OnSignal();
  void Deliver(int state);
  void DeliverStop();
  std::string UnitPath() const { return unit_dir_ + "/" + kUnitName; }

  EventLoop& loop_;
  std::string exe_path_;
  std::string unit_dir_;
  bool use_systemctl_;
  int state_ = -1;
  int handler_depth_ = 0;      // State handlers running (nested through pauses)
  bool stop_seen_ = false;     // a stop signal arrived
  bool stop_pending_ = false;  // the stop waits for the running State handler to return
  int signal_fd_ = -1;
  EventLoop::WatchId watch_ = 0;
  sigset_t saved_mask_{};  // the signal mask before Run, restored by the destructor
  bool mask_saved_ = false;
  bool start_failed_ = false;
  bool foreground_ = false;  // running as a service, but not started by systemd
};

// Holds the single-instance lock of one installation (one folder) for the life of the process:
// flock(2) on the file kLockFileName in the folder. The kernel releases it when the process ends,
// however it ends, so a crashed process never leaves it locked. The file belongs to the folder's
// owner with mode 0600, so only that owner and root can open it, and therefore only they can hold
// the lock; a lock file that others could open (wrong owner or mode) is replaced before use.
class InstanceLock {
 public:
  static constexpr const char* kLockFileName = "quorlan-trend.lock";

  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock of the installation folder. Returns false when another process holds it.
  // Throws RuntimeError naming the file when it cannot be created, opened or locked at all (for
  // instance by a user who may not write to the folder).
  bool Acquire(const std::string& folder);

 private:
  int fd_ = -1;
};

}  // namespace quorlan
