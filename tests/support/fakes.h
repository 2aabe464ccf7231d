// Fakes of the service host and the console for tests of the run cycle and the command line.
#pragma once

#include <string>
#include <vector>

#include "components/platform/platform.h"
#include "service/service.h"

namespace quorlan::testing {

// Records the calls made on it; Install/Uninstall/Run fail on demand.
class FakeServiceHost : public ServiceHost {
 public:
  void Install(const std::string& name, int option) override {
    if (fail) throw RuntimeError(err::kComponent, "install refused by the fake host");
    calls.push_back("install " + name + " " + std::to_string(option));
  }
  void Uninstall(const std::string& name) override {
    if (fail) throw RuntimeError(err::kComponent, "uninstall refused by the fake host");
    calls.push_back("uninstall " + name);
  }
  void Run() override {
    if (fail) throw RuntimeError(err::kComponent, "run refused by the fake host");
    calls.push_back("run");
  }
  int State() const override { return state; }
  bool StopRequested() const override { return stop_requested; }
  void SetStatus(const std::string& text) override { statuses.push_back(text); }
  void FailStart(const std::string& why) override { failed_start = why; }
  void Journal(int16_t event_type, const std::string& source, const std::string& message) override {
    journal.push_back(std::to_string(JournalPriority(event_type)) + " " + source + " " + message);
  }
  // Raises the State event with the given state.
  void Deliver(int s) {
    state = s;
    if (OnState) OnState();
  }

  bool fail = false;
  int state = -1;
  bool stop_requested = false;
  std::vector<std::string> calls;
  std::vector<std::string> statuses;  // texts given to SetStatus, in order
  std::string failed_start;           // the text given to FailStart
  std::vector<std::string> journal;   // "priority source message" of each event, in order
};

class RecordingConsole : public Console {
 public:
  void MessageBox(const std::string& text, int style, const std::string& title) override {
    boxes.push_back({text, style, title});
  }
  struct Box {
    std::string text;
    int style;
    std::string title;
  };
  std::vector<Box> boxes;
};

}  // namespace quorlan::testing
