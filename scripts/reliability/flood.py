#!/usr/bin/env python3
"""Floods UDP ports with SNMP datagrams and counts what comes back.

  flood.py malformed COUNT PORT...     COUNT datagrams in turn to each port (127.0.0.1), cycling
                                       through malformed shapes: random bytes, truncated and
                                       over-long BER, wrong tags, bad versions, trailing bytes
  flood.py community COUNT PORT        COUNT SNMPv1 GetRequests of sysUpTime.0 with a wrong community
  flood.py set COUNT PORT COMMUNITY OID V[,V..]
                                       COUNT SNMPv1 SetRequests with the write COMMUNITY of INTEGER
                                       OID, the values in turn, at most WINDOW (64) unanswered at a
                                       time

Prints one line: "sent N answers M seconds S rate R/s". The encoding is minimal BER (X.690) of
SNMPv1 messages (RFC 1157), enough to stage the traffic; the flooder never decodes the answers.
"""
import random
import socket
import sys
import time

HOST = "127.0.0.1"
WINDOW = 64


def tlv(tag, body):
    n = len(body)
    if n < 0x80:
        head = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + head + body


def integer(v):
    return tlv(0x02, v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big", signed=True))


def oid(text):
    arcs = [int(a) for a in text.split(".")]
    body = bytes([arcs[0] * 40 + arcs[1]])
    for a in arcs[2:]:
        chunk = [a & 0x7F]
        a >>= 7
        while a:
            chunk.append(0x80 | (a & 0x7F))
            a >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, body)


def message(community, pdu_tag, request_id, varbinds, version=0):
    vbs = b"".join(tlv(0x30, oid(o) + v) for o, v in varbinds)
    pdu = tlv(pdu_tag, integer(request_id) + integer(0) + integer(0) + tlv(0x30, vbs))
    return tlv(0x30, integer(version) + tlv(0x04, community.encode()) + pdu)


def malformed_shapes(rng):
    good = message("public", 0xA2, 1000001, [("1.3.6.1.2.1.1.3.0", tlv(0x43, b"\x01"))])
    shapes = [
        b"",
        b"\x30",
        b"\x30\x84\xff\xff\xff\xff",
        good[:-3],
        good + b"\x00\x00",
        b"\x31" + good[1:],
        good[:2] + b"\x02\x01\x07" + good[5:],
        message("public", 0xA2, 1000001, [("1.3.6.1.2.1.1.3.0", tlv(0x45, b"x"))], version=3),
        message("public", 0xA7, 7, [("1.3.6.1.2.1.1.3.0", tlv(0x05, b""))], version=1),
        good.replace(b"\x06\x08", b"\x06\x7f", 1),
        b"\x30\x82" + bytes(2) + bytes(60),
    ]
    shapes += [bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 200))) for _ in range(48)]
    for _ in range(16):
        flip = bytearray(good)
        flip[rng.randrange(len(flip))] ^= 1 << rng.randrange(8)
        shapes.append(bytes(flip))
    return shapes


def drain(sock):
    n = 0
    while True:
        try:
            sock.recv(65536)
            n += 1
        except BlockingIOError:
            return n


def flood(datagrams, ports, count):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sock.setblocking(False)
    sent = answers = 0
    for i in range(count):
        for port in ports:
            try:
                sock.sendto(datagrams[i % len(datagrams)], (HOST, port))
                sent += 1
            except BlockingIOError:
                time.sleep(0.0005)
        if i % 1024 == 0:
            answers += drain(sock)
    time.sleep(1)
    return sent, answers + drain(sock)


def set_storm(port, count, community, target, values):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(2)
    sent = answers = 0
    for i in range(count):
        value = integer(values[i % len(values)])
        sock.sendto(message(community, 0xA3, 2000000 + i, [(target, value)]), (HOST, port))
        sent += 1
        if sent - answers >= WINDOW:
            try:
                sock.recv(65536)
                answers += 1
            except socket.timeout:
                break
    sock.settimeout(1)
    try:
        while answers < sent:
            sock.recv(65536)
            answers += 1
    except socket.timeout:
        pass
    return sent, answers


def main(argv):
    mode, count = argv[1], int(argv[2])
    start = time.monotonic()
    if mode == "malformed":
        ports = [int(p) for p in argv[3:]]
        sent, answers = flood(malformed_shapes(random.Random(1)), ports, count)
    elif mode == "community":
        get = [message("wrong%d" % k, 0xA0, 3000000 + k, [("1.3.6.1.2.1.1.3.0", b"\x05\x00")])
               for k in range(97)]
        sent, answers = flood(get, [int(argv[3])], count)
    elif mode == "set":
        values = [int(v) for v in argv[6].split(",")]
        sent, answers = set_storm(int(argv[3]), count, argv[4], argv[5], values)
    else:
        sys.exit(__doc__)
    seconds = time.monotonic() - start
    print("sent %d answers %d seconds %.1f rate %d/s" % (sent, answers, seconds, sent / seconds))


if __name__ == "__main__":
    main(sys.argv)
