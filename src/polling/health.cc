// The reports' and nodes' health as polling sees it: answers, polls without one, and the events
// of a node that stops answering or answers again.
#include <fmt/format.h>

#include "polling/internal.h"
#include "polling/polling.h"

namespace quorlan {

void HealthAnswered(PollState& st, const TrendListEntry& e) {
  if (!st.Health.NodeAnswered(e.NodeId, e.NodeName, e.Address, st.Now())) return;
  AppEvent(st, kModForm, "snmpManager_Response",
           fmt::format("Node {} ({}, {}) answers again", e.NodeId, BlankControls(e.NodeName),
                       BlankControls(e.Address)),
           kEventInfo);
}

void HealthProblem(PollState& st, const TrendListEntry& e, const std::string& problem) {
  st.Health.ReportProblem(e.ReportId, st.Now(), problem);
}

namespace polling {

void HealthNoAnswer(PollState& st, const TrendListEntry& e) {
  const std::string target = fmt::format("{}:{}", BlankControls(e.Address), e.UdpPort);
  HealthProblem(st, e, "no answer from " + target);
  if (!st.Health.NodeSilent(e.NodeId, e.NodeName, e.Address, st.Now())) return;
  AppEvent(
      st, kModForm, "timerPoll_Timer",
      fmt::format("Node {} ({}, {}) stopped answering: report {} got no answer from {}", e.NodeId,
                  BlankControls(e.NodeName), BlankControls(e.Address), e.ReportId, target),
      kEventError);
}

}  // namespace polling
}  // namespace quorlan
