#!/usr/bin/env python3
"""Writes the seed corpus and dictionary of the filter fuzz targets (fuzz_corpus/).

filter_compile_fuzz seeds: one layer byte, then a filter text or object string.
filter_eval_fuzz seeds: control byte (bit 0 outbound, bit 7 flow layer), filter length
byte, filter text, packet bytes. Standard library only.
"""
import os
import re
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "fuzz_corpus")

filters = [
    "true", "false", "tcp", "not tcp", "tcp.DstPort == 80", "(tcp? udp: icmp)",
    "ip.SrcAddr == 10.0.0.1", "packet[0] == 0x45", "tcp.Payload32[-1] == 1",
    "timestamp == -5", "localAddr == 1.2.3.4 and localPort == 80",
    "outbound and !loopback and (tcp.DstPort == 80 or udp.DstPort == 53)",
    "(ip and tcp and inbound and ip.DstAddr == 1.2.3.4 and (tcp.DstPort == 80 or "
    "tcp.DstPort == 443)) or (ip and icmp and inbound)",
    "inbound and tcp and ((tcp.Syn and tcp.Fin) or (tcp.HdrLength > 15) or (ip.Length < 40) "
    "or (tcp.SeqNum == 0 and tcp.AckNum == 0 and not tcp.Syn))",
    "inbound and udp and ((udp.SrcPort == 0) or (ip.FragOff > 0 and not ip.MF))",
    "ipv6.FlowLabel == 0x12345 and random8 < 128 and udp.Payload16[-3b] != 7",
    "@WinDiv_WZ_eXWWLXLY_fXWWAX_dXWWAX", "@WinDiv_Wa_eXWWLXLY_fXWWALZ_bXWWLZX_dXWWAX",
]
flow_filters = [
    "((localAddr == 10.0.0.5 or localAddr == ::ffff:10.0.0.5) and (localPort == 22))",
    "(protocol == 6)", "event == ESTABLISHED and ip and not ipv6",
]


def ipv4(proto, body, src=b"\x0a\0\0\x02", dst=b"\x01\x02\x03\x04", frag=0x4000):
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(body), 0x1234, frag, 64, proto, 0,
                       src, dst) + body


def tcp(sport, dport, flags, payload=b""):
    return struct.pack("!HHIIBBHHH", sport, dport, 1000, 0, 5 << 4, flags, 64240, 0, 0) + payload


packets = [
    ipv4(6, tcp(40000, 80, 0x02)),
    ipv4(6, tcp(5000, 80, 0x18, b"GET /index.html")),
    ipv4(17, struct.pack("!HHHH", 5353, 53, 12, 0) + b"abcd"),
    ipv4(1, struct.pack("!BBHI", 8, 0, 0, 0x10001) + b"ping"),
    ipv4(17, bytes(16), frag=185),
    struct.pack("!IHBB16s16s", 6 << 28 | 0x12345, 25, 6, 64, b"\x20\x01\x0d\xb8" + bytes(11) +
                b"\x01", bytes(15) + b"\x02") + tcp(443, 50000, 0x10, b"hello"),
]


def write(name, index, data):
    path = os.path.join(CORPUS, name)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "seed%02d" % index), "wb") as f:
        f.write(data)


i = 0
for layer in range(5):
    for text in filters + flow_filters:
        write("filter_compile_fuzz", i, bytes([layer]) + text.encode())
        i += 1

i = 0
for text in filters:
    for n, packet in enumerate(packets):
        control = n & 1
        write("filter_eval_fuzz", i, bytes([control, len(text)]) + text.encode() + packet)
        i += 1
for text in flow_filters:
    record = struct.pack("<QQI4I4IHHB", 1, 2, 1234, 0x0A000005, 0xFFFF, 0, 0, 0x08080808, 0xFFFF,
                         0, 0, 22, 443, 6)
    write("filter_eval_fuzz", i, bytes([0x81, len(text)]) + text.encode() + record)
    i += 1

# Dictionary: every word of the language.
source = open(os.path.join(HERE, "..", "..", "..", "divert", "filter", "Fields.cpp")).read()
words = sorted(set(re.findall(r'\("([A-Za-z0-9_.]+)"', source)))
words += ["and", "or", "not", "&&", "||", "==", "!=", "<=", ">=", "?", ":", "[", "]", "(", ")",
          "-", "!", "0x", "b", "::ffff:", "@WinDiv_"]
with open(os.path.join(CORPUS, "filter.dict"), "w") as f:
    for w in words:
        f.write('"%s"\n' % w.replace("\\", "\\\\").replace('"', '\\"'))
