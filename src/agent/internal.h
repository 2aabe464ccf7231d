// Inside the agent: the MIB table and the admission and per-object loop shared by the three
// request handlers.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "components/platform/platform.h"

namespace quorlan::agent {

// Type codes of the MIB's objects (the tag numbers of the SNMP standard).
inline constexpr int kTypeInteger = 2;
inline constexpr int kTypeOctetString = 4;
inline constexpr int kTypeObjectId = 6;
inline constexpr int kTypeTimeTicks = 67;

enum class Access { kRead, kReadWrite, kWriteOnly };

struct MibObject {
  const char* oid;  // answer form, ending in ".0"
  int type;
  Access access;
  bool system_group;                    // one of MIB-II's system objects
  std::string (*value)(PollState& st);  // null for the write-only object
};

// The MIB in walk order.
const std::vector<MibObject>& Mib();

// The object named by oid, in its answer form or without the final ".0"; null for any other text.
const MibObject* FindObject(const std::string& oid);

// Fills o with the object's answer form, type and current value.
void Answer(PollState& st, const MibObject& object, SnmpObject& o);

// A Set value that does not read as the number its object needs: answered badValue.
class UnreadableValue : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// Handles one object of a request; returns its error status (0 for none). Throws for a run-time
// failure.
using ObjectHandler = std::function<int(SnmpObject& o)>;

// Admission (SNMPv1 and the exact community, else nothing is answered and the refusal is logged
// a few per minute, cause and source), then each object in order, with the error status and
// index of the last failing one. A throw ends the handling at that object; it is reported under
// procedure (a few per minute and source) and answered as agent.h says.
void Serve(PollState& st, SnmpAgentRequest& r, const std::string& community, const char* procedure,
           const ObjectHandler& handle);

}  // namespace quorlan::agent
