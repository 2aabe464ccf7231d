// The service host (`dartSvc`): registers the executable as a systemd service, connects a running
// process to systemd and turns signals into service state events.
//
// States, as the State event reports them: 0 stop, 1 pause, 2 start, 3 resume.
//   - Run() returns at once; the event loop then delivers the start state (2) once.
//   - SIGTERM and SIGINT deliver stop (0); after the State handler has run the stop sequence the
//     host ends the event loop, so the process exits. A stop that arrives while another State
//     handler runs (the start pauses for several seconds, delivering events) is held until that
//     handler has returned, so the start never finishes after the stop. Further stop signals are
//     ignored once a stop has been seen.
//   - SIGUSR1 delivers pause (1) and SIGUSR2 resume (3).
// With systemd (Type=notify) the host reports READY=1 after the start handler has returned and
// STOPPING=1 before the stop handler runs; without systemd these notifications do nothing.
#pragma once

#include <signal.h>

#include <functional>
#include <memory>
#include <string>

#include "components/event_loop.h"

namespace quorlan {

inline constexpr int kStateStop = 0;
inline constexpr int kStatePause = 1;
inline constexpr int kStateStart = 2;
inline constexpr int kStateResume = 3;

class ServiceHost {
 public:
  virtual ~ServiceHost() = default;
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

  // Events, delivered on the event loop's thread.
  std::function<void()> OnState;
  std::function<void(int number, const std::string& description)> OnError;
};

// The systemd implementation.
//
// Install writes the unit "quorlan-trend.service" for exe_path into unit_dir and, when systemd
// runs (/run/systemd/system exists) and the unit folder is the system's, reloads systemd and
// enables the unit. With a unit folder given by the caller (tests), no systemctl call is made.
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

  // The unit text written by Install.
  static std::string UnitText(const std::string& service_name, const std::string& exe_path);
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
};

// Holds the single-instance lock of one installation (one executable path) for the life of the
// process. The lock is an abstract UNIX socket name derived from the path: the kernel releases it
// when the process ends, however it ends, so a crashed process never leaves it locked.
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock for the installation at path. Returns false when another process holds it.
  // Throws RuntimeError when the lock cannot be examined at all.
  bool Acquire(const std::string& path);

 private:
  int fd_ = -1;
};

}  // namespace quorlan
