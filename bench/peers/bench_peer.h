/* bench_peer.h - what the reference pollers of scripts/bench share: a monotonic clock and the
 * handshake with the harness. After its warm-up cycles a poller prints "READY" and waits for a
 * line on standard input; after its measured cycles it prints "DONE" and waits again. In between
 * the harness reads the process's CPU time and memory from /proc, from outside the poller. */
#ifndef BENCH_PEER_H
#define BENCH_PEER_H
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void handshake(const char* word) {
  char line[64];
  printf("%s\n", word);
  fflush(stdout);
  if (!fgets(line, sizeof line, stdin)) exit(1);
}

/* one line per cycle: its wall time and the answers it got */
static void cycle_line(int c, double seconds, long answered) {
  printf("cycle %d burst_us %.0f answered %ld\n", c, seconds * 1e6, answered);
  fflush(stdout);
}
#endif
