// Events that would repeat: a few per window, the rest counted in one line.
#include <fmt/format.h>

#include "diagnostics/diagnostics.h"

namespace quorlan {

bool RepeatedEvents::Ended(const Window& w, DateTime now) {
  // A clock set back also ends the window.
  return now < w.start || now.Millis() - w.start.Millis() >= w.rule.window_ms;
}

DateTime RepeatedEvents::FirstEnd() const {
  DateTime first;
  for (const auto& [kind, w] : windows_) {
    const DateTime end = w.start.PlusMillis(w.rule.window_ms);
    if (first == DateTime() || end < first) first = end;
  }
  return first;
}

void RepeatedEvents::Close(Runtime& rt, const Window& w) {
  if (w.left_out == 0) return;
  AppEvent(rt, w.module, w.procedure,
           fmt::format("{} more {} in the {} from {} were not logged", w.left_out, w.counted,
                       w.rule.window_name, w.start.FormatTimeStamp()),
           w.event_type);
}

void RepeatedEvents::Log(Runtime& rt, const RepeatRule& rule, const std::string& kind,
                         const std::string& module, const std::string& procedure,
                         const std::string& message, int16_t event_type,
                         const std::string& counted) {
  const DateTime now = rt.Now();
  auto it = windows_.find(kind);
  if (it != windows_.end() && Ended(it->second, now)) {
    const Window ended = std::move(it->second);
    windows_.erase(it);
    Close(rt, ended);
    it = windows_.end();
  }
  if (it == windows_.end()) {
    it = windows_.emplace(kind, Window{rule, now, 0, 0, module, procedure, counted, event_type})
             .first;
  }
  Window& w = it->second;
  if (w.logged >= w.rule.allowed) {
    ++w.left_out;
    return;
  }
  ++w.logged;
  AppEvent(rt, module, procedure, message, event_type);
}

void RepeatedEvents::Flush(Runtime& rt, bool all) {
  const DateTime now = rt.Now();
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (!all && !Ended(it->second, now)) {
      ++it;
      continue;
    }
    const Window ended = std::move(it->second);
    it = windows_.erase(it);
    Close(rt, ended);
  }
}

}  // namespace quorlan
