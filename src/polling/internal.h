// Pieces of the polling engine that its own files share; not for other layers.
#pragma once

#include <cstdint>

#include "polling/polling.h"

namespace quorlan::polling {

// The discovery window and the step of the sender's wait for the discovery's answer.
inline constexpr int kDiscoveryWindowS = 2;
inline constexpr int16_t kDiscoveryStepMs = 20;

// Resets the six values of an entry to "no sample": PollSampledValue -1, PollSavedValue 0.
void ClearValues(TrendListEntry& e);

// The counter that the request of e holds a slot of: PendingV3 when PollCountedV3, else Pending.
int16_t& CountedPending(PollState& st, const TrendListEntry& e);

// Ends the poll of entry i without an answer (given up, or its engine discovery unanswered):
// PollPending false, PollMessId 0, no engine (id empty, boots and time 0), values -1/0, the next
// poll time computed, and the counter the request holds (CountedPending) lowered unless it is 0.
void EndWithoutAnswer(PollState& st, int16_t i);
// The report of e got no answer: its problem, and its node's silence (an event when the node
// answered before).
void HealthNoAnswer(PollState& st, const TrendListEntry& e);

// Ends the poll of entry i whose send failed: PollPending false, values -1/0, the next poll time
// computed and the counter the request holds lowered unless it is 0. Unlike EndWithoutAnswer it
// leaves PollMessId and the engine as the failed send left them: a request that may never have
// gone out is no reason to forget what the entry last learnt of its agent. The SNMPv3 sender
// forgets the engine id on top, so that its next request discovers the engine again.
void EndFailedSend(PollState& st, int16_t i);

// Takes a batched SNMPv1/v2c first request that the system refused back out of the counts made
// when it was queued: one request sent of version (1 or 2), and the late poll when entry i (0:
// not found) counted one.
void UncountRefusedSend(PollState& st, int16_t i, int version);

}  // namespace quorlan::polling
