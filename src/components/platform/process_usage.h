// What the running process uses of the machine, for the service's self-monitoring.
#pragma once

#include <cstdint>

namespace quorlan {

struct ProcessUsage {
  int32_t Pid = 0;
  double CpuSeconds = 0;  // user and system time of all its threads since the process started
  int64_t RssBytes = 0;   // resident memory now; 0 when /proc/self/statm cannot be read
};

// Reads the process's id, its CPU time (CLOCK_PROCESS_CPUTIME_ID) and resident memory
// (/proc/self/statm, kept open and read again from its start: a reading once a minute costs two
// system calls). Read never throws: a figure that cannot be read is 0.
class ProcessUsageReader {
 public:
  ProcessUsageReader() = default;
  ~ProcessUsageReader();
  ProcessUsageReader(ProcessUsageReader&& other) noexcept;
  ProcessUsageReader& operator=(ProcessUsageReader&& other) noexcept;
  ProcessUsage Read();

 private:
  int64_t ResidentBytes();
  int statm_ = -1;
};

// The id of the running process.
int32_t ProcessId();

// Makes every heap block of 128 KiB or more a map of its own, given back to the system when freed.
// By default glibc raises that bound to the largest such block freed so far, so that a large text
// built once a minute (the health file of thousands of reports) stays resident in the heap between
// the minutes. Call once, at the start of the process.
void ReturnLargeBlocksWhenFreed();

// The CPU time of the calling thread in microseconds (CLOCK_THREAD_CPUTIME_ID), to measure what a
// piece of work costs.
int64_t ThreadCpuMicros();

}  // namespace quorlan
