// The platform room: what the service needs of the operating system, behind one seam each.
//
// - values.h: RuntimeError, the error every procedure catches and reports, and the conversions of
//   text to numbers and flags that every reader of settings, rows and SNMP values shares;
// - clock.h: local wall time and a monotonic clock, read only through a Clock handed in, so tests
//   stand at any moment without sleeping;
// - event_loop.h: the one event thread, its timers and the re-entrant pause WaitMs;
// - udp_socket.h: a non-blocking IPv4 UDP socket;
// - files.h: the service's text files, each opened, used and closed per call;
// - folder_watch.h: changes to named files of a folder, as the kernel reports them;
// - service_host.h: systemd registration, readiness and status, and signals as state events;
// - process_usage.h: the process's own CPU time and resident memory.
//
// Everything runs on the thread of the event loop; nothing here is thread-safe. Failures of the
// system are thrown as RuntimeError whose description names the call, the object and the system's
// reason. Other rooms include this header only; the headers it names are this room's own.
#pragma once

#include "components/platform/clock.h"
#include "components/platform/event_loop.h"
#include "components/platform/files.h"
#include "components/platform/folder_watch.h"
#include "components/platform/process_usage.h"
#include "components/platform/service_host.h"
#include "components/platform/udp_socket.h"
#include "components/platform/values.h"
