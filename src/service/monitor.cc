// The self-monitoring's minute: the figures taken from the counters, and where they go.
#include <fmt/format.h>

#include <algorithm>

#include "components/platform/platform.h"
#include "service/service.h"

namespace quorlan {
namespace {

// The counts that add up over a span; LongestTickMs and the arrays are handled on their own.
constexpr int64_t MonitorCounts::*kSummed[] = {
    &MonitorCounts::Resends,    &MonitorCounts::Answers,       &MonitorCounts::PollsGivenUp,
    &MonitorCounts::PollsLate,  &MonitorCounts::RowsRecorded,  &MonitorCounts::TrendTraps,
    &MonitorCounts::EventTraps, &MonitorCounts::DatabaseErrors};

// sum += add (sign 1) or sum -= add (sign -1), field by field; LongestTickMs untouched.
void Accumulate(MonitorCounts& sum, const MonitorCounts& add, int64_t sign) {
  for (auto field : kSummed) sum.*field += sign * add.*field;
  for (size_t v = 0; v < sum.RequestsSent.size(); ++v)
    sum.RequestsSent[v] += sign * add.RequestsSent[v];
  for (size_t c = 0; c < sum.BadPackets.size(); ++c) sum.BadPackets[c] += sign * add.BadPackets[c];
}

// The counters since the process started, with the rows as the recording counts them.
MonitorCounts Totals(const ServiceCounters& c, const RecordingFigures& recording) {
  MonitorCounts t;
  t.RequestsSent = c.RequestsSent;
  t.Resends = c.Resends;
  t.Answers = c.Answers;
  t.PollsGivenUp = c.PollsGivenUp;
  t.PollsLate = c.PollsLate;
  t.RowsRecorded = recording.RowsRecorded;
  t.TrendTraps = c.TrendTraps;
  t.EventTraps = c.EventTraps;
  t.BadPackets = c.BadPackets;
  t.DatabaseErrors = recording.DatabaseErrors;
  return t;
}

// Puts the minute into the hour's ring and returns the sum of the ring.
MonitorCounts AddMinute(SelfMonitor& mon, const MonitorCounts& minute) {
  mon.Minutes[static_cast<size_t>(mon.Next)] = minute;
  mon.Next = (mon.Next + 1) % kHourMinutes;
  mon.Filled = std::min(mon.Filled + 1, kHourMinutes);
  MonitorCounts hour;
  for (int32_t i = 0; i < mon.Filled; ++i) {
    const MonitorCounts& m = mon.Minutes[static_cast<size_t>(i)];
    Accumulate(hour, m, 1);
    hour.LongestTickMs = std::max(hour.LongestTickMs, m.LongestTickMs);
  }
  return hour;
}

MonitorFigures TakeFigures(Module& m) {
  SelfMonitor& mon = m.Monitor;
  const int64_t now_ms = m.clock.MonotonicMs();
  const RecordingFigures recording = RecordingFiguresOf(m);
  const ProcessUsage usage = mon.Usage.Read();
  MonitorFigures f;
  f.SinceStart = Totals(m.Counters, recording);
  f.LastMinute = f.SinceStart;
  Accumulate(f.LastMinute, mon.Taken, -1);
  f.LastMinute.LongestTickMs = m.Counters.TakeLongestTickMs(now_ms);
  f.SinceStart.LongestTickMs = std::max(mon.Taken.LongestTickMs, f.LastMinute.LongestTickMs);
  f.MinuteSeconds = (now_ms - mon.TakenMs + 500) / 1000;
  f.LastHour = AddMinute(mon, f.LastMinute);
  f.HourMinutes = mon.Filled;
  mon.Taken = f.SinceStart;
  mon.TakenMs = now_ms;
  f.Pid = usage.Pid;
  f.Written = m.Now();
  f.Started = m.ServiceStartTime;
  f.Paused = m.ServiceState == kServiceStopped;
  f.Reports = m.TrendListCount;
  f.SpoolRows = recording.SpoolRows;
  f.CpuSeconds = usage.CpuSeconds;
  f.RssBytes = usage.RssBytes;
  f.Writes = mon.Writes;
  f.WriteCpuMicros = mon.WriteCpuMicros;
  return f;
}

// Replaces one file of figures, kept in file between the minutes; a failure is logged once an
// hour per file.
void WriteFigures(Module& m, std::unique_ptr<RewrittenFile>& file, const std::string& path,
                  const std::string& text, int mode) {
  try {
    if (!file || file->path() != path) file = std::make_unique<RewrittenFile>(path, mode);
    file->Replace(text);
  } catch (const std::exception& e) {
    m.Repeats.Log(m, kOncePerHour, "monitor " + path, kModForm, "timerMonitor",
                  fmt::format("Figures not written to {}: {}", path, e.what()), kEventError,
                  "failures to write " + path);
  }
}

std::string MetricsPath(const Module& m) {
  const std::string& file = m.Ini.MetricsFile;
  return file.front() == '/' ? file : m.AppPath + "/" + file;
}

// The milliseconds from now to second kMonitorSecond of a minute, at least 5 s away. Each run sets
// the next with it, so the runs stay on that second of the wall clock (a clock that was set, or a
// monotonic clock that drifts from it, would otherwise move them towards the grid's polls).
int DelayToMonitorSecondMs(DateTime now) {
  const CivilTime c = now.ToCivil();
  const int into_minute = c.second * 1000 + c.millisecond;
  int delay = (kMonitorSecond * 1000 - into_minute + kMonitorPeriodMs) % kMonitorPeriodMs;
  if (delay < 5000) delay += kMonitorPeriodMs;
  return delay;
}

}  // namespace

void MonitorStart(Module& m) {
  m.Monitor = SelfMonitor{};
  m.Monitor.Taken = Totals(m.Counters, RecordingFiguresOf(m));
  m.Monitor.TakenMs = m.clock.MonotonicMs();
  m.Counters.LongestTickMs = 0;
  m.timerMonitor.SetInterval(DelayToMonitorSecondMs(m.Now()));
  m.timerMonitor.SetEnabled(true);
  m.timerDebug.AlignWith(m.timerMonitor);
}

void timerMonitor_Timer(Module& m) {
  const int64_t cpu_before = ThreadCpuMicros();
  try {
    m.timerMonitor.SetInterval(DelayToMonitorSecondMs(m.Now()));
    // The debug-mode watcher's ticks fall on the monitor's: a service whose watcher does not
    // sleep wakes twice a minute for both rather than three times.
    m.timerDebug.AlignWith(m.timerMonitor);
    // The rows handed so far count in this minute: the open batch commits now, not at the next
    // idle moment.
    m.SampleRecorder.CommitBatch();
    const MonitorFigures f = TakeFigures(m);
    const MonitorCounts& c = f.LastMinute;
    const std::array<int64_t, 7> shown{f.Paused,       f.Reports,   c.RowsRecorded,  c.PollsLate,
                                       c.PollsGivenUp, f.SpoolRows, c.DatabaseErrors};
    if (shown != m.Monitor.StatusShown) {
      m.dartSvc.SetStatus(MonitorStatusLine(f));
      m.Monitor.StatusShown = shown;
    }
    SelfMonitor& mon = m.Monitor;
    WriteFigures(m, mon.StatusFile, m.AppPath + "/" + kStatusFileName, StatusFileText(f),
                 kFileMode);
    if (!m.Ini.MetricsFile.empty()) {
      WriteFigures(m, mon.MetricsFile, MetricsPath(m), MetricsText(f), 0644);
    }
  } catch (const std::exception& e) {
    AppEvent(m, kModForm, "timerMonitor", e.what(), kEventError);
  }
  ++m.Monitor.Writes;
  m.Monitor.WriteCpuMicros += ThreadCpuMicros() - cpu_before;
  HealthFileWrite(m);
}

}  // namespace quorlan
