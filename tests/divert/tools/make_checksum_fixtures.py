#!/usr/bin/env python3
"""Builds the checksum fixtures of packet_helpers_test.cpp.

Independent of the library: packets are assembled with struct and their checksums computed
here from RFC 791/793/768/792/4443 (one's-complement sum with the IPv4/IPv6
pseudo-headers). Prints C++ initialisers; paste them into the test when a case changes.
Standard library only.
"""
import ipaddress
import struct


def csum(data: bytes) -> int:
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return (~s) & 0xFFFF


def v4(a):
    return ipaddress.IPv4Address(a).packed


def v6(a):
    return ipaddress.IPv6Address(a).packed


def ipv4(src, dst, proto, body, ttl=64, options=b"", ident=0x1234, flags=0x4000):
    ihl = (20 + len(options)) // 4
    hdr = struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, 20 + len(options) + len(body), ident,
                      flags, ttl, proto, 0, v4(src), v4(dst)) + options
    hdr = hdr[:10] + struct.pack("!H", csum(hdr)) + hdr[12:]
    return hdr + body


def pseudo4(src, dst, proto, length):
    return v4(src) + v4(dst) + struct.pack("!BBH", 0, proto, length)


def pseudo6(src, dst, proto, length):
    return v6(src) + v6(dst) + struct.pack("!I3xB", length, proto)


def tcp(sport, dport, seq, ack, flags, window, options=b"", payload=b""):
    off = (20 + len(options)) // 4
    return struct.pack("!HHIIBBHHH", sport, dport, seq, ack, off << 4, flags, window, 0, 0) + \
        options + payload


def udp(sport, dport, payload):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def with_checksum(segment, at, pseudo, zero_is_ffff=False):
    c = csum(pseudo + segment)
    if zero_is_ffff and c == 0:
        c = 0xFFFF
    return segment[:at] + struct.pack("!H", c) + segment[at + 2:]


def ipv6(src, dst, next_hdr, body, ext=b""):
    return struct.pack("!IHBB16s16s", 6 << 28, len(ext) + len(body), next_hdr, 64, v6(src),
                       v6(dst)) + ext + body


cases = []

# IPv4 TCP SYN with an MSS option and an odd-length payload.
src, dst = "10.0.0.2", "192.0.2.1"
seg = tcp(40000, 80, 1000, 0, 0x02, 64240, options=bytes([2, 4, 5, 0xB4]), payload=b"abc")
seg = with_checksum(seg, 16, pseudo4(src, dst, 6, len(seg)))
cases.append(("Ipv4TcpSynOddPayload", ipv4(src, dst, 6, seg)))

# IPv4 UDP with a 4-byte payload.
src, dst = "10.0.0.2", "8.8.8.8"
seg = udp(5353, 53, b"abcd")
seg = with_checksum(seg, 6, pseudo4(src, dst, 17, len(seg)), True)
cases.append(("Ipv4Udp", ipv4(src, dst, 17, seg)))

# IPv4 UDP whose checksum computes to 0 and is sent as 0xFFFF: choose the last payload
# word so that the sum is 0xFFFF.
src, dst = "10.1.2.3", "10.4.5.6"
seg = udp(1000, 2000, b"\x12\x34\x00\x00")
s = (~csum(pseudo4(src, dst, 17, len(seg)) + seg)) & 0xFFFF
fix = (0xFFFF - s) & 0xFFFF
seg = seg[:10] + struct.pack("!H", fix)
assert csum(pseudo4(src, dst, 17, len(seg)) + seg) == 0
seg = with_checksum(seg, 6, pseudo4(src, dst, 17, len(seg)), True)
assert seg[6:8] == b"\xff\xff"
cases.append(("Ipv4UdpZeroSumIsFFFF", ipv4(src, dst, 17, seg)))

# IPv4 ICMP echo request (no pseudo-header).
src, dst = "10.0.0.2", "1.1.1.1"
seg = struct.pack("!BBHI", 8, 0, 0, 0x00010001) + b"ping"
seg = with_checksum(seg, 2, b"")
cases.append(("Ipv4IcmpEcho", ipv4(src, dst, 1, seg)))

# IPv4 with 4 bytes of options (NOP NOP NOP EOL) carrying TCP ACK data.
src, dst = "172.16.0.1", "172.16.0.2"
seg = tcp(443, 50000, 0x01020304, 0x0A0B0C0D, 0x18, 502, payload=b"hello, world")
seg = with_checksum(seg, 16, pseudo4(src, dst, 6, len(seg)))
cases.append(("Ipv4OptionsTcpData", ipv4(src, dst, 6, seg, options=b"\x01\x01\x01\x00")))

# IPv6 TCP ACK with payload.
src, dst = "2001:db8::1", "::2"
seg = tcp(443, 50000, 1, 1, 0x10, 1000, payload=b"hello")
seg = with_checksum(seg, 16, pseudo6(src, dst, 6, len(seg)))
cases.append(("Ipv6TcpAck", ipv6(src, dst, 6, seg)))

# IPv6 UDP behind a hop-by-hop options header (8 bytes: next=17, len=0, PadN).
src, dst = "fe80::1", "ff02::fb"
seg = udp(5353, 5353, b"mdns-query")
seg = with_checksum(seg, 6, pseudo6(src, dst, 17, len(seg)), True)
cases.append(("Ipv6HopByHopUdp", ipv6(src, dst, 0, seg, ext=bytes([17, 0, 1, 4, 0, 0, 0, 0]))))

# ICMPv6 echo request (pseudo-header with next header 58).
src, dst = "2001:db8::1", "2001:db8::2"
seg = struct.pack("!BBHI", 128, 0, 0, 0x00070001) + b"abcdefgh"
seg = with_checksum(seg, 2, pseudo6(src, dst, 58, len(seg)))
cases.append(("Ipv6IcmpEcho", ipv6(src, dst, 58, seg)))

for name, packet in cases:
    print("    {\"%s\"," % name)
    h = packet.hex()
    lines = [h[i:i + 64] for i in range(0, len(h), 64)]
    for i, line in enumerate(lines):
        print("     \"%s\"%s" % (line, "}," if i == len(lines) - 1 else ""))
