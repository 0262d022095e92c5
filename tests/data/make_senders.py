#!/usr/bin/env python3
"""Writes the labelled captures labelled/sender_*.cap and labelled/channel_*.cap (see README.md): echo
conversations laid out as ordinary pingers lay out their payloads, and as channels that carry
data. Each capture's conversations share one label, the notes -summary must give each of them."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "labelled")
START = 1767225600  # 2026-01-01 00:00:00 UTC
ALPHABET = b"abcdefghijklmnopqrstuvw"


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack(f">{len(data) // 2}H", data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def echo(host, reply, ident, seq, payload, v6=False):
    """An echo request from 10.34.host.1 (fd34::host:1) to .2, or its reply back."""
    a = bytes([10, 34, host, 1])
    b = bytes([10, 34, host, 2])
    if v6:
        a = bytes.fromhex("fd340000000000000000000000000000")[:12] + bytes([0, 0, host, 1])
        b = a[:15] + b"\x02"
    src, dst = (b, a) if reply else (a, b)
    t = (129 if reply else 128) if v6 else (0 if reply else 8)
    body = bytes([t, 0, 0, 0]) + struct.pack(">HH", ident, seq) + payload
    if v6:
        pseudo = src + dst + struct.pack(">I", len(body)) + b"\0\0\0\x3a"
        body = body[:2] + struct.pack(">H", checksum(pseudo + body)) + body[4:]
        ip = bytes([0x60, 0, 0, 0]) + struct.pack(">H", len(body)) + bytes([58, 64]) + src + dst
        return bytes(12) + b"\x86\xdd" + ip + body
    body = body[:2] + struct.pack(">H", checksum(body)) + body[4:]
    ip = bytes([0x45, 0]) + struct.pack(">H", 20 + len(body)) + bytes([0, seq & 0xFF, 0x40, 0,
                                                                       64, 1, 0, 0]) + src + dst
    ip = ip[:10] + struct.pack(">H", checksum(ip)) + ip[12:]
    return bytes(12) + b"\x08\x00" + ip + body


def write(name, records, timed=True):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1)
    for at, frame in records:
        sec, usec = (int(at), int(at * 1e6) % 1000000) if timed else (0, 0)
        out += struct.pack("<IIII", sec, usec, len(frame), len(frame)) + frame
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(out)


def conversation(host, ident, payloads, answered=None, v6=False, at=START):
    """Requests carrying `payloads`, 1 s apart, each answered 1 ms later by a copy unless
    `answered` leaves it out."""
    records = []
    for i, p in enumerate(payloads):
        t = at + i
        records.append((t, echo(host, False, ident, i + 1, p, v6)))
        if answered is None or i in answered:
            records.append((t + 0.001, echo(host, True, ident, i + 1, p, v6)))
    return records


def iputils(sec, usec, size):
    head = struct.pack("<QQ", sec, usec)
    return (head + bytes(k & 0xFF for k in range(16, size)))[:size] if size >= 16 else \
        bytes(range(size))


def iputils_filled(sec, usec, size, pattern):
    fill = (pattern * (size // len(pattern) + 1))[:size]
    return struct.pack("<QQ", sec, usec) + fill[16:]


def bsd(sec, usec, size):
    return (struct.pack("<II", sec, usec) + bytes(k & 0xFF for k in range(8, size)))[:size]


def cisco(ms, size):
    return (bytes(4) + struct.pack(">I", ms) + b"\xab\xcd" * size)[:size]


def windows(size):
    return (ALPHABET * (size // len(ALPHABET) + 1))[:size]


def rotating(i, size):
    return bytes((i + k) & 0xFF for k in range(size))


# Cisco IOS: 72 bytes by default, then a sweep from 36 to 1500 bytes.
write("sender_cisco.cap",
      conversation(1, 0x0001, [cisco(31_000_000 + 1003 * i, 72) for i in range(5)]) +
      conversation(2, 0x0002, [cisco(31_100_000 + 7 * i, 36 + 97 * i) for i in range(16)],
                   answered=range(0, 16, 2)))

# Linux iputils: the usual 56 bytes (one reply lost, one request sent again), -s 4000, -s 20000,
# a sender clock 3 years behind the capture's, and a pinger of IPv6.
linux = [iputils(START + i, 1000 + 200_000 * i, 56) for i in range(4)]
write("sender_iputils.cap",
      conversation(3, 0x0b01, linux + [linux[-1]], answered=[0, 1, 3, 4]) +
      conversation(4, 0x0b02, [iputils(START + i, 5000, 4000) for i in range(2)]) +
      conversation(5, 0x0b03, [iputils(START + 60 + i, 77, 20000) for i in range(2)],
                   answered=[1]) +
      conversation(6, 0x0b04, [iputils(START - 94_608_000 + i // 5, 200_000 * (i % 5), 56)
                               for i in range(6)]) +
      conversation(7, 0x0b05, [iputils(START + i, 9, 56) for i in range(3)], v6=True))
# The same pings in a capture without time, and a sender clock of 1970.
write("sender_iputils_untimed.cap",
      conversation(8, 0x0b06, [iputils(START + i, 123, 56) for i in range(3)]) +
      conversation(9, 0x0b07, [iputils(3 + i, 123, 100) for i in range(3)]), timed=False)

# BSD and macOS: an 8-byte time stamp, then 0x08, 0x09, ...; a -g/-G sweep of sizes 0 to 150.
write("sender_bsd.cap",
      conversation(10, 0x4d01, [bsd(START + i, 300_000 + i, 56) for i in range(4)]) +
      conversation(11, 0x4d02, [bsd(START + i // 4, 250_000 * (i % 4), 10 * i) for i in range(16)],
                   answered=range(0, 16, 3)))

# Rotating patterns, byte k of the i-th request (i + k) mod 256, wrapping past 255.
write("sender_rotating.cap",
      conversation(12, 0x0300, [rotating(i, 64) for i in range(250, 262)]) +
      conversation(13, 0x0301, [rotating(i, 100) for i in range(5)], v6=True))

# Constant payloads: Windows' 32 letters and 100 of them, -p patterns of 1 to 16 bytes, all
# zeros (fping, nmap) and empty payloads.
write("sender_constant.cap",
      conversation(14, 0x0001, [windows(32)] * 4) +
      conversation(15, 0x0002, [windows(100)] * 3) +
      conversation(16, 0x0b10, [iputils_filled(START + i, 5, 56, b"\xff") for i in range(3)]) +
      conversation(17, 0x0b11, [iputils_filled(START + i, 5, 64, b"\xde\xad\xbe\xef\x01")
                                for i in range(3)]) +
      conversation(18, 0x0b12, [iputils_filled(START + i, 5, 56, bytes.fromhex(
          "00112233445566778899aabbccddeeff")) for i in range(3)]) +
      conversation(19, 0x0b13, [bytes(56)] * 3) +
      conversation(20, 0x0b14, [b""] * 3))

# Channels: the Linux layout with a real clock and text in place of the counting bytes, and one
# echo request carrying a sentence.
lines = [b"user=admin pass=hunter2 host=db01", b"copy /etc/shadow to the drop box now",
         b"next window opens at 02:00, same key"]
write("channel_linux_text.cap",
      conversation(21, 0x0c01, [struct.pack("<QQ", START + i, 4000 + i) + lines[i] for i in range(3)]))
write("channel_sentence.cap",
      [(START, echo(22, False, 0x0c02, 1, b"The package is under the third bench in the park."))])
