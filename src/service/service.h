// The service host side of quorlan-trend: command line, single-instance rule, the service state
// events with the start and stop sequences, and the configuration file.
#pragma once

namespace quorlan {

// The process entry point of quorlan-trend. Returns the exit status.
int ServiceMain(int argc, char** argv);

}  // namespace quorlan
