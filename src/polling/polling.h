// The polling engine: the poll scheduler's tick, the SNMPv1/v2c and SNMPv3 request senders with
// engine discovery, the managers' error events, and the merge of the poll trace files.
//
// PollState holds the module-wide values that the scheduler, the senders, the response handling
// and the built-in agent share, and the three SNMP components of the hidden form. Every layer
// above (responses, agent, service) extends or uses it; everything runs on the event loop's one
// thread.
#pragma once

#include <cstdint>
#include <string>

#include "components/snmp_agent.h"
#include "components/snmp_manager.h"
#include "trendlist/trendlist.h"

namespace quorlan {

// Values of ServiceState.
inline constexpr int16_t kServiceBeforeStart = 0;
inline constexpr int16_t kServiceRunning = 1;
inline constexpr int16_t kServiceStopped = 2;

struct PollState : TrendState {
  // REQUIRES: clock and loop outlive the state.
  PollState(std::string app_path, Clock& clock, EventLoop& loop)
      : TrendState(std::move(app_path), clock, loop),
        snmpAgent(loop),
        snmpManager(loop),
        snmpMgrV3(loop) {}

  // Components of the form.
  SnmpAgent snmpAgent;      // the built-in agent; also sends every trap
  SnmpManager snmpManager;  // SNMPv1/v2c polls
  SnmpManager snmpMgrV3;    // SNMPv3 polls

  int16_t ServiceState = kServiceBeforeStart;  // 0 before any start, 1 running, 2 stopped
  DateTime ServiceStartTime;                   // local time of the last start
  int32_t LastMessId = 0;                      // request-id counter shared by both senders
  int16_t LastHour = 0;                        // hour of day seen by the last poll tick
  int16_t Pending = 0;    // SNMPv1/v2c requests sent and not yet answered or given up
  int16_t PendingV3 = 0;  // SNMPv3 requests outstanding (0 or 1)
};

}  // namespace quorlan
