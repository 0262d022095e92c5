#!/usr/bin/env python3
"""Writes the crafted captures times.pcap and edge_fields.pcap (see README.md) into this folder."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MACS = bytes(range(12))


def icmp(t, code, ident, payload):
    return bytes([t, code, 0xAB, 0xCD]) + struct.pack(">HH", ident, 1) + payload


def v4(src, dst, t, ident, payload, code=0):
    body = icmp(t, code, ident, payload)
    ip = bytes([0x45, 0]) + struct.pack(">H", 20 + len(body)) + bytes([0x12, 0x34, 0x40, 0, 64, 1, 0, 0])
    return MACS + b"\x08\x00" + ip + bytes(src) + bytes(dst) + body


def v6(src, dst, t, ident, payload, hop=64):
    body = icmp(t, 0, ident, payload)
    ip = bytes([0x60, 0, 0, 0]) + struct.pack(">H", len(body)) + bytes([58, hop]) + src + dst
    return MACS + b"\x86\xdd" + ip + body


def write(name, records):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1)
    for sec, usec, frame in records:
        out += struct.pack("<IIII", sec, usec, len(frame), len(frame)) + frame
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(out)


# The time window's date forms: an echo reply, then unreachable codes 0, 3, 13, 16 and 1.
day = 1796515200  # 2026-12-06 00:00:00 UTC
stamps = [(0, 30, 0, 0, 3), (12, 30, 0, 3, 0), (12, 31, 0, 3, 3), (20, 0, 0, 3, 13),
          (23, 59, 59, 3, 16), (24, 0, 0, 3, 1)]
write("times.pcap", [(day + (h * 60 + m) * 60 + s, 0,
                      v4([192, 0, 2, 1], [192, 0, 2, 2], t, 0x1234, b"x" * 8, code=c))
                     for h, m, s, t, c in stamps])

# Fields at their edges, and the messages that carry an identifier or quote a datagram.
a, b = [192, 0, 2, 10], [198, 51, 100, 7]
long6 = bytes.fromhex("20010db8123456789abcdef012345678")
link_local = bytes.fromhex("fe800000000000000000000000000001")
noise = bytes((i * 97 + 13) & 0xFF for i in range(256))


def quoted4(proto, ports):
    return (bytes([0x45, 0, 0, 28, 0, 1, 0, 0, 1, proto, 0, 0, 192, 0, 2, 10, 203, 0, 113, 5]) +
            struct.pack(">HHI", *ports, 0))


udp4 = quoted4(17, (40000, 33434))
udp6 = bytes([0x60, 0, 0, 0, 0, 8, 17, 1]) + link_local + long6 + struct.pack(">HHI", 40001, 33435, 0)
echo = v4([10, 0, 0, 1], [10, 0, 0, 2], 8, 0x1234, bytes(8))[12:]
vlan = MACS + bytes([0x88, 0xA8, 0x00, 0x64, 0x81, 0x00, 0x20, 0x05]) + echo
frames = [
    v4(a, b, 8, 0x1A2B, b""),                     # stamped 1970-01-01 00:00:00: no time shown
    v6(long6, link_local, 128, 0x00FF, b"", 255),  # the widest IPv6 address, hop limit 255
    v4(a, b, 8, 0x1A2B, b"message digest"),
    v4(a, b, 8, 0x1A2B, noise),                   # draws the entropy note
    v4(a, b, 8, 0x1A2B, noise[1:2] + noise[1:]),  # one value doubled: does not
    vlan,                                          # two VLAN tags, priority bits set on the second
    v4(a, b, 11, 0, udp4),                        # time exceeded: quoted
    v4(a, b, 12, 0, quoted4(6, (51000, 443))),    # parameter problem: quoted, with ports
    v4(a, b, 5, 0xC000, udp4, code=1),            # redirect: quoted
    v4(a, b, 6, 0, udp4),                         # not an error message: not quoted
    v4(a, b, 13, 0x0D0D, bytes(12)),              # timestamp, its reply and the mask messages
    v4(a, b, 14, 0x0E0E, bytes(12)),              # have an identifier
    v4(a, b, 15, 0x0F0F, b""),                    # an information request has none shown
    v4(a, b, 17, 0x1111, bytes(4)),
    v4(a, b, 18, 0x1212, bytes(4)),
    v6(link_local, long6, 4, 0, udp6),            # ICMPv6 parameter problem: quoted
    v6(link_local, long6, 5, 0, udp6),            # ICMPv6 type 5: not quoted
    MACS + bytes([0x81, 0x00, 0x00, 0x07]) + echo,  # one VLAN tag
]
start = 1358245353  # 2013-01-15 10:22:33 UTC
write("edge_fields.pcap", [(0 if k == 0 else start + k, 456000, f) for k, f in enumerate(frames)])
