#include "components/platform/process_usage.h"

#include <fcntl.h>
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

namespace quorlan {
namespace {

int64_t Micros(clockid_t clock) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return 0;
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

ProcessUsageReader::~ProcessUsageReader() {
  if (statm_ >= 0) ::close(statm_);
}

ProcessUsageReader::ProcessUsageReader(ProcessUsageReader&& other) noexcept
    : statm_(std::exchange(other.statm_, -1)) {}

ProcessUsageReader& ProcessUsageReader::operator=(ProcessUsageReader&& other) noexcept {
  if (this != &other) {
    if (statm_ >= 0) ::close(statm_);
    statm_ = std::exchange(other.statm_, -1);
  }
  return *this;
}

// The second field of /proc/self/statm (resident pages) in bytes; 0 when it cannot be read.
int64_t ProcessUsageReader::ResidentBytes() {
  if (statm_ < 0) statm_ = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (statm_ < 0) return 0;
  char text[128];
  const ssize_t n = ::pread(statm_, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = '\0';
  char* rest = nullptr;
  std::strtoll(text, &rest, 10);  // the total size
  const long long pages = std::strtoll(rest, nullptr, 10);
  return static_cast<int64_t>(pages) * ::sysconf(_SC_PAGESIZE);
}

ProcessUsage ProcessUsageReader::Read() {
  return {static_cast<int32_t>(::getpid()),
          static_cast<double>(Micros(CLOCK_PROCESS_CPUTIME_ID)) / 1e6, ResidentBytes()};
}

int32_t ProcessId() { return static_cast<int32_t>(::getpid()); }

int64_t ThreadCpuMicros() { return Micros(CLOCK_THREAD_CPUTIME_ID); }

void ReturnLargeBlocksWhenFreed() {
  // A fixed threshold also turns the dynamic one off. A sanitizer's allocator ignores it (0).
  (void)mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

}  // namespace quorlan
