// The SNMP room: the service's own SNMP stack, on the platform room's event loop and sockets.
//
// - snmp_manager.h: the manager component, GET and SET requests of SNMPv1, SNMPv2c and SNMPv3
//   (engine discovery, the User-based Security Model) and their answers as events;
// - snmp_agent.h: the agent component, Get, GetNext and Set requests handed to a handler, and
//   SNMPv1 traps;
// - snmp_pdu.h: SNMP values, PDUs and community messages; ber.h: the encoding they use and the
//   text form of object identifiers.
// Inside the room: the SNMPv3 message format (snmp_v3.h), its cryptography (usm.h, every
// primitive from OpenSSL's libcrypto), the table of requests awaiting an answer
// (expiring_table.h) and the non-blocking resolver of host names (host_resolver.h, c-ares).
//
// Decoders never trust a length and name the field that failed; components report failures as
// RuntimeError naming the operation and the reason. Everything runs on the event loop's thread.
// Other rooms include this header only.
#pragma once

#include "components/snmp/ber.h"
#include "components/snmp/snmp_agent.h"
#include "components/snmp/snmp_manager.h"
#include "components/snmp/snmp_pdu.h"
