/* filefloor.c - the floor under the service's minute of self-monitoring: the same system calls,
 * from a program that does nothing else. Once every period it wakes, reads the process's CPU
 * time and /proc/self/statm, and replaces two files (status_bytes and metrics_bytes long) as
 * the service does: an fstat of the kept spare, a pwrite into it and an exchange of names. It
 * prints, in microseconds of thread CPU, one line "run US wake US touch US" per wake-up: the
 * files' run, the sleep's return (the wake-up itself), and a first read of each of 64 pages of
 * its own memory, written at the start and untouched since the last wake-up. The last two tell
 * what any program pays on this machine to wake once a minute and to use its memory again. The
 * first wake-up comes half a period after the start, so that a probe started beside the service
 * wakes between its minutes, not just after them (when the kernel's paths are warm from its run).
 * usage: filefloor folder period_s runs status_bytes metrics_bytes */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static long long micros(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

static int spare(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    perror(path);
    exit(1);
  }
  return fd;
}

/* One replacement: the spare written in place, then swapped with the file under the name. */
static void replace(int* fds, const char* tmp, const char* name, const char* text, size_t n) {
  struct stat st;
  if (fstat(fds[0], &st) != 0 || pwrite(fds[0], text, n, 0) != (ssize_t)n ||
      renameat2(AT_FDCWD, tmp, AT_FDCWD, name, RENAME_EXCHANGE) != 0) {
    perror(name);
    exit(1);
  }
  int t = fds[0];
  fds[0] = fds[1];
  fds[1] = t;
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: filefloor folder period_s runs status_bytes metrics_bytes\n");
    return 2;
  }
  const int period = atoi(argv[2]), runs = atoi(argv[3]);
  const size_t sizes[2] = {(size_t)atol(argv[4]), (size_t)atol(argv[5])};
  char names[2][2][4096];
  int fds[2][2];
  for (int f = 0; f < 2; f++) {
    snprintf(names[f][0], sizeof names[f][0], "%s/floor-%d.tmp", argv[1], f);
    snprintf(names[f][1], sizeof names[f][1], "%s/floor-%d", argv[1], f);
    fds[f][1] = spare(names[f][1]);
    fds[f][0] = spare(names[f][0]);
  }
  char* text = malloc(sizes[0] > sizes[1] ? sizes[0] : sizes[1]);
  memset(text, 'x', sizes[0] > sizes[1] ? sizes[0] : sizes[1]);
  enum { kPages = 64 };
  volatile char* pages = malloc(kPages * 4096);
  memset((char*)pages, 1, kPages * 4096);
  long sum = 0;
  const int statm = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  char buf[128];
  for (int r = 0; r < runs; r++) {
    const long long asleep = micros(CLOCK_THREAD_CPUTIME_ID);
    sleep((unsigned)(r == 0 ? period / 2 : period));
    const long long before = micros(CLOCK_THREAD_CPUTIME_ID);
    micros(CLOCK_PROCESS_CPUTIME_ID);
    if (pread(statm, buf, sizeof buf, 0) <= 0) perror("statm");
    for (int f = 0; f < 2; f++) replace(fds[f], names[f][0], names[f][1], text, sizes[f]);
    const long long files = micros(CLOCK_THREAD_CPUTIME_ID);
    for (int p = 0; p < kPages; p++) sum += pages[p * 4096];
    printf("run %lld wake %lld touch %lld\n", files - before, before - asleep,
           micros(CLOCK_THREAD_CPUTIME_ID) - files);
    fflush(stdout);
  }
  return sum == -1;
}
