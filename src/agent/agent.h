// The built-in SNMP agent: the service's MIB and its Get, GetNext and Set handling, through which
// the management console reads the service's state and controls it.
//
// The MIB is fixed: the MIB-II system group (sysDescr .. sysServices, read-only) and three
// objects of the service's own subtree 1.3.6.1.4.1.32473.1.19.1.1:
//   .1.0  the change code Mib_sysTrendChanged (read, write 1 added / 2 edited / 3 deleted);
//   .6.0  the node reset (write only): the value is a NodeId whose reports restart their
//         counters and return their triggers to Normal, without a clearing trap;
//   .7.0  ServiceState (read, write 1 running / 2 stopped); 1 also rebuilds the trend list.
// A request may name an object with or without its final ".0"; answers always carry the form
// with ".0" (the answer form). OIDs and communities are compared exactly.
//
// Only SNMPv1 is served. Get and GetNext need the read community (Ini.SnmpAgentGetComm), Set the
// write community (Ini.SnmpAgentSetComm); any other request is left unanswered, and logged (type
// 3, under the handler's name, without the community sent) a few per minute, cause and source
// address (LogLimitedEvent), so that guessing goes seen. An admitted
// request is always answered with the whole object list. Errors are per object: error status 2
// noSuchName, 3 badValue, 4 readOnly, with error_index the 0-based number of the object; a later
// failing object replaces the index and status of an earlier one. A run-time failure while an
// object is handled (a Set value that does not read as a number, a component failure) ends the
// handling at that object: it is reported, a few per minute and source address, as an
// application event of type 1 (module
// "frmQuorlanTrend", procedure "SnmpGetRequest", "SnmpGetNextRequest" or "SetRequest") and answered
// with that object's index and badValue for an unreadable value, genErr (5) otherwise.
//
// The handlers run on the event loop's thread, between ticks and manager events; a Set takes
// effect at once for everything that runs after it. They never yield.
#pragma once

#include "components/snmp/snmp.h"
#include "polling/polling.h"

namespace quorlan {

// The agent's own objects, in answer form.
inline constexpr const char* kOidSysTrendChanged = "1.3.6.1.4.1.32473.1.19.1.1.1.0";
inline constexpr const char* kOidNodeReset = "1.3.6.1.4.1.32473.1.19.1.1.6.0";
inline constexpr const char* kOidServiceState = "1.3.6.1.4.1.32473.1.19.1.1.7.0";

// The value of sysContact: the support address of quorlan-trend.
inline constexpr const char* kSysContact = "quorlan-trend@quorlan.example";

// Get: each object named by one of the readable OIDs gets the answer form, type and value of the
// MIB; any other OID (the write-only one included) is noSuchName and left as it came.
// sysUpTime is the whole seconds since ServiceStartTime times 100, modulo 2^32 as TimeTicks
// count, and 0 while the clock stands before ServiceStartTime.
void SnmpGetRequest(PollState& st, SnmpAgentRequest& r);

// GetNext: the successor of an object's OID without ".0" is that object, the successor of its
// answer form the next readable object (sysDescr, sysObjectID, sysUpTime, sysContact, sysName,
// sysLocation, sysServices, change code, ServiceState). Anything else, and the answer form of
// ServiceState, is noSuchName: a walk must start at one of these OIDs and ends after
// ServiceState; the write-only object is never visited.
void SnmpGetNextRequest(PollState& st, SnmpAgentRequest& r);

// Set: a system-group object is readOnly; an unknown OID noSuchName. A value of ServiceState first
// commits the recorder's open batch. The change code and
// ServiceState take values that read as 1, 2, 3 and 1, 2 respectively, else badValue. The node
// reset sets PollSampledValue -1, PollSavedValue 0 and PollTriggerStatus false in all six slots
// of every live entry of that NodeId (no check of the id). ServiceState 1 also sets
// ServiceStartTime to now (restarting the start-up period), forgets every outstanding request
// and rebuilds the list (RunRestart) before the next object is handled; a build that fails (it
// reports its own event) answers that object with genErr (5). A request restarts at most once,
// however many ServiceState 1 objects it holds, and at most one restart runs per poll tick: a
// further one in the same tick is answered at once and runs at the next tick (RestartPending),
// unless ServiceState 2 is written before; a flood of restarts then costs one rebuild per tick.
// An accepted object gets type INTEGER and the answer form; its value repeats what was sent.
void SetRequest(PollState& st, SnmpAgentRequest& r);

// The agent component's BadPacket and Error events: logged a few per minute, cause and source
// address ("snmpAgent_BadPacket", "snmpAgent_Error"; events of these names are never trapped).
void snmpAgent_BadPacket(PollState& st, const SnmpBadPacket& b);
void snmpAgent_Error(PollState& st, int number, const std::string& description);

// Connects the three handlers and the two error handlers to st.snmpAgent's events. REQUIRES: st
// outlives the connection (the agent is a member of st).
void AttachAgentHandlers(PollState& st);

}  // namespace quorlan
