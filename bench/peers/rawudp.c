/* rawudp.c - the floor: N pre-encoded SNMPv2c GETs of 6 objects over one UDP socket (request id
 * patched in place), answers counted, never decoded.
 * usage: rawudp cycles n host port warmup */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_peer.h"

/* SEQUENCE{ INTEGER 1, OCTET STRING "public", GetRequest{ INTEGER reqid(4 bytes),
 * INTEGER 0, INTEGER 0, SEQUENCE{ 6 x SEQUENCE{OID 1.3.6.1.2.1.1.X.0, NULL} } } } */
#define VB(x) 0x30, 0x0C, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, x, 0x00, 0x05, 0x00
static unsigned char pkt[] = {
    0x30, 0x6F, 0x02, 0x01, 0x01, 0x04, 0x06, 'p',  'u',   'b',   'l',   'i',   'c',   0xA0,
    0x62, 0x02, 0x04, 0x10, 0x00, 0x00, 0x00, /* request id at offset 17..20 */
    0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x54, VB(1), VB(3), VB(4), VB(5), VB(6), VB(7)};
#define RID_OFF 17

/* sends n requests and counts the answers, for up to 2 s */
static long one_cycle(int fd, int n, unsigned* rid) {
  unsigned char buf[2048];
  for (int i = 0; i < n; i++) {
    ++*rid;
    pkt[RID_OFF] = *rid >> 24;
    pkt[RID_OFF + 1] = *rid >> 16;
    pkt[RID_OFF + 2] = *rid >> 8;
    pkt[RID_OFF + 3] = *rid;
    if (send(fd, pkt, sizeof pkt, 0) < 0) {
      perror("send");
      exit(1);
    }
  }
  long got = 0;
  double deadline = now_s() + 2.0;
  while (got < n && now_s() < deadline) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) got++;
  }
  return got;
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: rawudp cycles n host port warmup\n");
    return 2;
  }
  int cycles = atoi(argv[1]), n = atoi(argv[2]), port = atoi(argv[4]), warm = atoi(argv[5]);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int rb = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rb, sizeof rb);
  struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons(port)};
  inet_pton(AF_INET, argv[3], &sa.sin_addr);
  if (connect(fd, (struct sockaddr*)&sa, sizeof sa) < 0) {
    perror("connect");
    return 1;
  }
  unsigned rid = 0x10000000u;
  for (int c = 1 - warm; c <= cycles; c++) {
    if (c == 1) handshake("READY");
    double t0 = now_s();
    long got = one_cycle(fd, n, &rid);
    cycle_line(c, now_s() - t0, got);
  }
  handshake("DONE");
  close(fd);
  return 0;
}
