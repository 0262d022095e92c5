#!/usr/bin/env python3
"""Writes the crafted captures times.pcap, edge_fields.pcap, tunnels.pcap, fragment_attacks.pcap,
windows_ping.pcap, pairing.pcap, adversarial.pcap, details.pcap and extensions.pcap (see README.md)
here."""
import hashlib
import ipaddress
import os
import string
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
    """Each record is (seconds, microseconds, frame), or with the frame's length on the wire
    after it when the capture kept less."""
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1)
    for sec, usec, frame, *wire in records:
        out += struct.pack("<IIII", sec, usec, len(frame), wire[0] if wire else len(frame)) + frame
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

# Tunnels and encapsulations: one echo per frame, frame n's inner message going from 10.n.0.1 to
# 10.n.0.2 (or fd00:n::1 to fd00:n::2, n read as hex digits) with identifier 0x1000 + n, sequence n
# and 8 to 16 bytes of the n-th letter, so each frame is told apart by its inner fields alone.
# Outer IPv4 headers go from 192.0.2.n to 198.51.100.n with TTL 255, outer IPv6 ones from
# 2001:db8:n::1 to 2001:db8:n::2 with hop limit 255; the inner carrier has 64.
ETH = bytes.fromhex("020000000002" "020000000001")
IPV4, IPV6 = 0x0800, 0x86DD


def csum(data):
    data += b"\0" * (len(data) & 1)
    s = sum(struct.unpack(">%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def ip4(src, dst, proto, payload, ttl=255):
    h = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, ttl, proto, 0, src, dst)
    return h[:10] + struct.pack(">H", csum(h)) + h[12:] + payload


def ip6(src, dst, nh, payload, hlim=255):
    return struct.pack(">IHBB", 0x60000000, len(payload), nh, hlim) + src + dst + payload


def a4(text):
    return bytes(int(x) for x in text.split("."))


def a6(text):
    return ipaddress.IPv6Address(text).packed


def outer4(n, proto, payload):
    return ip4(a4("192.0.2.%d" % n), a4("198.51.100.%d" % n), proto, payload)


def outer6(n, nh, payload):
    return ip6(a6("2001:db8:%d::1" % n), a6("2001:db8:%d::2" % n), nh, payload)


def echo_body(n):
    t = 8 if n % 2 else 0  # requests on odd frames, replies on even ones
    return t, struct.pack(">HH", 0x1000 + n, n) + string.ascii_letters[n - 1].encode() * (8 + n % 9)


def inner4(n):
    t, rest = echo_body(n)
    msg = bytes([t, 0, 0, 0]) + rest
    msg = msg[:2] + struct.pack(">H", csum(msg)) + msg[4:]
    return ip4(a4("10.%d.0.1" % n), a4("10.%d.0.2" % n), 1, msg, ttl=64)


def inner6(n):
    t, rest = echo_body(n)
    src, dst = a6("fd00:%d::1" % n), a6("fd00:%d::2" % n)
    msg = bytes([128 if t else 129, 0, 0, 0]) + rest
    pseudo = src + dst + struct.pack(">IxxxB", len(msg), 58)
    msg = msg[:2] + struct.pack(">H", csum(pseudo + msg)) + msg[4:]
    return ip6(src, dst, 58, msg, hlim=64)


def eth(ethertype, payload, macs=ETH):
    return macs + struct.pack(">H", ethertype) + payload


def inner_eth(n, ethertype, payload):
    return eth(ethertype, payload, bytes.fromhex("0200000a%02x02" "0200000a%02x01" % (n, n)))


def gre(proto, payload, c=False, key=None, seq=None):
    flags = (0x8000 if c else 0) | (0x2000 if key is not None else 0) | (0x1000 if seq is not None else 0)
    opt = (b"\0\0\0\0" if c else b"") + (struct.pack(">I", key) if key is not None else b"") + \
        (struct.pack(">I", seq) if seq is not None else b"")
    g = struct.pack(">HH", flags, proto) + opt + payload
    return g[:4] + struct.pack(">H", csum(g)) + g[6:] if c else g


def udp(sport, dport, payload):
    return struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload  # no checksum: IPv4 only


def mpls(labels, payload):
    return b"".join(struct.pack(">I", label << 12 | (k == len(labels) - 1) << 8 | 64)
                    for k, label in enumerate(labels)) + payload


PPP4, PPP6 = b"\xff\x03\x00\x21", b"\xff\x03\x00\x57"


def pptp(n, payload, ack=None):
    ppp = PPP4 + payload
    h = struct.pack(">HHHHI", 0x3081 if ack is not None else 0x3001, 0x880B, len(ppp), 0x0C00 + n, n)
    return h + (struct.pack(">I", ack) if ack is not None else b"") + ppp


def erspan2(session, payload):
    return struct.pack(">HHI", 0x1000 | 10, session, 0) + payload  # version 1, VLAN 10, index 0


def erspan3(session, payload):
    h = struct.pack(">HHIHH", 0x2000 | 20, session, 0x01020304, 0, 1)  # version 2, VLAN 20, O set
    platform = struct.pack(">II", 3 << 26, 0x0A0B0C0D)  # platform 3: port id and a stamp
    return h + platform + payload


def vxlan(vni, payload, flags=0x08):
    return struct.pack(">II", flags << 24, vni << 8) + payload


def geneve(vni, proto, payload, options=b""):
    return struct.pack(">BBHI", len(options) // 4, 0, proto, vni << 8) + options + payload


def gtpu_ext(teid, payload):
    opt = struct.pack(">HBB", 1, 0, 0x85) + bytes([1, 0x10, 0x09, 0])  # UL PDU session, QFI 9
    return struct.pack(">BBHI", 0x34, 0xFF, len(opt) + len(payload), teid) + opt + payload


def pppoe(session, ppp):
    return struct.pack(">BBHH", 0x11, 0x00, session, len(ppp)) + ppp


def teredo_origin(port, addr):
    return struct.pack(">HH", 0, port ^ 0xFFFF) + bytes(x ^ 0xFF for x in addr)


CMD = bytes.fromhex("0101" "0001" "0010")  # version 1, length 1, one option: tag 0x0010


def pim_register(payload):
    h = bytes([0x21, 0, 0, 0, 0, 0, 0, 0])
    return h[:2] + struct.pack(">H", csum(h)) + h[4:] + payload


def nested4(layers, payload):
    for layer in range(layers, 0, -1):
        payload = ip4(a4("172.16.%d.1" % layer), a4("172.16.%d.2" % layer), 4, payload, ttl=200 + layer)
    return payload


def esp(seq):
    return struct.pack(">II", 0x00001000, seq) + bytes(range(0xE0, 0xF8))


tunnel_frames = [
    # 1: IPv4 in IPv4.
    lambda n: eth(IPV4, outer4(n, 4, inner4(n))),
    # 2: IPv6 in IPv4 (6in4).
    lambda n: eth(IPV4, outer4(n, 41, inner6(n))),
    # 3: IPv4 in IPv6.
    lambda n: eth(IPV6, outer6(n, 4, inner4(n))),
    # 4: IPv6 in IPv6, behind a destination options header (one PadN filling its 8 bytes).
    lambda n: eth(IPV6, outer6(n, 60, bytes([41, 0, 1, 4, 0, 0, 0, 0]) + inner6(n))),
    # 5: an Authentication Header in front of the ICMP message: length 4, so (4 + 2) * 4 bytes.
    lambda n: eth(IPV4, ip4(a4("10.5.0.1"), a4("10.5.0.2"), 51,
                            struct.pack(">BBHII", 1, 4, 0, 0x5005, 1) + bytes(range(12)) +
                            inner4(n)[20:], ttl=64)),
    # 6-10: GRE version 0 with no optional field, then checksum, key, sequence, and all three.
    lambda n: eth(IPV4, outer4(n, 47, gre(IPV4, inner4(n)))),
    lambda n: eth(IPV4, outer4(n, 47, gre(IPV4, inner4(n), c=True))),
    lambda n: eth(IPV4, outer4(n, 47, gre(IPV4, inner4(n), key=0x0000ABCD))),
    lambda n: eth(IPV4, outer4(n, 47, gre(IPV4, inner4(n), seq=9))),
    lambda n: eth(IPV4, outer4(n, 47, gre(IPV4, inner4(n), c=True, key=0x0000ABCE, seq=10))),
    # 11: GRE over IPv6 carrying IPv6.
    lambda n: eth(IPV6, outer6(n, 47, gre(IPV6, inner6(n)))),
    # 12-13: enhanced GRE (version 1) carrying PPP, without and with an acknowledgement.
    lambda n: eth(IPV4, outer4(n, 47, pptp(n, inner4(n)))),
    lambda n: eth(IPV4, outer4(n, 47, pptp(n, inner4(n), ack=12))),
    # 14: GRE carrying Ethernet, whose frame has one VLAN tag (300).
    lambda n: eth(IPV4, outer4(n, 47, gre(0x6558, inner_eth(n, 0x8100, struct.pack(">HH", 300, IPV4) +
                                                              inner4(n))))),
    # 15: GRE carrying MPLS labels 16 and 1000 (bottom of stack).
    lambda n: eth(IPV4, outer4(n, 47, gre(0x8847, mpls([16, 1000], inner4(n))))),
    # 16-18: ERSPAN type I (no header, no GRE sequence), type II (session 100), type III (session 200).
    lambda n: eth(IPV4, outer4(n, 47, gre(0x88BE, inner_eth(n, IPV4, inner4(n))))),
    lambda n: eth(IPV4, outer4(n, 47, gre(0x88BE, erspan2(100, inner_eth(n, IPV4, inner4(n))), seq=17))),
    lambda n: eth(IPV4, outer4(n, 47, gre(0x22EB, erspan3(200, inner_eth(n, IPV4, inner4(n))), seq=18))),
    # 19: VXLAN, VNI 4242.
    lambda n: eth(IPV4, outer4(n, 17, udp(49152 + n, 4789, vxlan(4242, inner_eth(n, IPV4, inner4(n)))))),
    # 20: Geneve, VNI 777, carrying Ethernet behind one 8-byte option (class 0x0101, type 1).
    lambda n: eth(IPV4, outer4(n, 17, udp(49152 + n, 6081, geneve(
        777, 0x6558, inner_eth(n, IPV6, inner6(n)), bytes.fromhex("0101" "01" "01" "c0ffee00"))))),
    # 21: Geneve, VNI 778, carrying IPv4 itself and no option.
    lambda n: eth(IPV4, outer4(n, 17, udp(49152 + n, 6081, geneve(778, IPV4, inner4(n))))),
    # 22: GTP-U with sequence, N-PDU and one PDU session container extension, TEID 0x11223344.
    lambda n: eth(IPV4, outer4(n, 17, udp(2152, 2152, gtpu_ext(0x11223344, inner4(n))))),
    # 23: GTP-U with no optional field, TEID 0x55667788, carrying IPv6.
    lambda n: eth(IPV4, outer4(n, 17, udp(2152, 2152, struct.pack(">BBHI", 0x30, 0xFF, len(inner6(n)),
                                                                  0x55667788) + inner6(n)))),
    # 24: MPLS over UDP, label 2000.
    lambda n: eth(IPV4, outer4(n, 17, udp(49152 + n, 6635, mpls([2000], inner4(n))))),
    # 25: MPLS straight on Ethernet, labels 100, 200 and 300 (bottom of stack), carrying IPv6.
    lambda n: eth(0x8847, mpls([100, 200, 300], inner6(n))),
    # 26-27: PPPoE sessions 0x1234 (IPv4) and 0x5678 (IPv6).
    lambda n: eth(0x8864, pppoe(0x1234, PPP4[2:] + inner4(n))),
    lambda n: eth(0x8864, pppoe(0x5678, PPP6[2:] + inner6(n))),
    # 28: Teredo from the server port, with an origin indication (port 40000, 192.0.2.99) first.
    lambda n: eth(IPV4, outer4(n, 17, udp(3544, 50000, teredo_origin(40000, a4("192.0.2.99")) +
                                          inner6(n)))),
    # 29: Teredo to the server port, plain IPv6.
    lambda n: eth(IPV4, outer4(n, 17, udp(50001, 3544, inner6(n)))),
    # 30: Cisco MetaData on Ethernet: its 6 bytes, then the next type.
    lambda n: eth(0x8909, CMD + struct.pack(">H", IPV4) + inner4(n)),
    # 31: Cisco MetaData in GRE: the next type first, then the 6 bytes.
    lambda n: eth(IPV4, outer4(n, 47, gre(0x8909, struct.pack(">H", IPV4) + CMD + inner4(n)))),
    # 32: IPv6, GRE, IPv4, UDP, VXLAN (VNI 3232), Ethernet, IPv4, ICMP.
    lambda n: eth(IPV6, outer6(n, 47, gre(IPV4, outer4(n, 17, udp(49152 + n, 4789, vxlan(
        3232, inner_eth(n, IPV4, inner4(n)))))))),
    # 33: nine IPv4-in-IPv4 headers around the carrier, one more than is opened.
    lambda n: eth(IPV4, nested4(9, inner4(n))),
    # 34: eight of them, as many as are opened.
    lambda n: eth(IPV4, nested4(8, inner4(n))),
    # 35-36: ESP, opaque, twice.
    lambda n: eth(IPV4, outer4(n, 50, esp(1))),
    lambda n: eth(IPV4, outer4(n, 50, esp(2))),
    # 37: L2TP version 2 data (tunnel 7, session 8) carrying PPP.
    lambda n: eth(IPV4, outer4(n, 17, udp(1701, 1701, struct.pack(">HHH", 0x0002, 7, 8) + PPP4 + inner4(n)))),
    # 38: a CAPWAP control message (echo request).
    lambda n: eth(IPV4, outer4(n, 17, udp(49152 + n, 5246, bytes([0, 0x10, 0x02, 0]) + bytes(4) +
                                          struct.pack(">IBHB", 13, 1, 3, 0)))),
    # 39: a PIM register carrying an IPv4 ICMP message.
    lambda n: eth(IPV4, outer4(n, 103, pim_register(inner4(n)))),
    # 40: NSH (MD type 2, no metadata; path 256, index 255) carrying IPv4.
    lambda n: eth(0x894F, struct.pack(">HBBI", 63 << 6 | 2, 0x02, 0x01, 256 << 8 | 255) + inner4(n)),
    # 41: UDP to 4789 with the VXLAN I flag clear: not a tunnel, though an echo follows.
    lambda n: eth(IPV4, outer4(n, 17, udp(49152 + n, 4789, vxlan(4141, inner_eth(n, IPV4, inner4(n)), 0)))),
    # 42: UDP to 2152 holding a GTP echo request, not user data, though an echo follows.
    lambda n: eth(IPV4, outer4(n, 17, udp(2152, 2152, struct.pack(">BBHI", 0x30, 0x01, len(inner4(n)), 0) +
                                          inner4(n)))),
]
base = 1767225600  # 2026-01-01 00:00:00 UTC; frame n is stamped n seconds later
write("tunnels.pcap", [(base + n, 0, f(n)) for n, f in enumerate(tunnel_frames, 1)])


# Fragment sets with what is odd about how they arrive.
def frag4(src, dst, ident, proto, data, offset, more, ttl=64):
    flags = (0x2000 if more else 0) | offset // 8
    h = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(data), ident, flags, ttl, proto, 0, src, dst)
    return h[:10] + struct.pack(">H", csum(h)) + h[12:] + data


def frag6(src, dst, ident, nh, data, offset, more, ext=b""):
    fh = struct.pack(">BBHI", nh, 0, offset | (1 if more else 0), ident)
    first = 0 if ext else 44
    if ext:
        ext = bytes([44]) + ext[1:]
        first = 0  # hop-by-hop in front of the Fragment header
    return ip6(src, dst, first, ext + fh + data, hlim=64)


def echo4(ident, seq, payload):
    msg = struct.pack(">BBHHH", 8, 0, 0, ident, seq) + payload
    return msg[:2] + struct.pack(">H", csum(msg)) + msg[4:]


def echo6(src, dst, ident, seq, payload):
    msg = struct.pack(">BBHHH", 128, 0, 0, ident, seq) + payload
    pseudo = src + dst + struct.pack(">IxxxB", len(msg), 58)
    return msg[:2] + struct.pack(">H", csum(pseudo + msg)) + msg[4:]


def split(data, size):
    return [(o, data[o:o + size], o + size < len(data)) for o in range(0, len(data), size)]


S4, D4 = a4("192.0.2.50"), a4("198.51.100.50")
S6, D6 = a6("2001:db8:50::1"), a6("2001:db8:50::2")
pattern = bytes(range(256)) * 12
noise64k = b"".join(hashlib.sha256(struct.pack(">I", i)).digest() for i in range(2063))
attack_frames = []

# 1-4: an echo in three fragments, then a copy of the middle one with other bytes.
msg = echo4(0x0A01, 1, pattern[:2400])
parts = split(msg, 1000)
attack_frames += [eth(IPV4, frag4(S4, D4, 0x101, 1, d, o, m)) for o, d, m in parts[:2]]
attack_frames.append(eth(IPV4, frag4(S4, D4, 0x101, 1, b"X" * 1000, 1000, True)))
attack_frames.append(eth(IPV4, frag4(S4, D4, 0x101, 1, parts[2][1], 2000, False)))
# 5-49: a ping of death: random payload in 1480-byte fragments that reach past 65,535 bytes.
msg = echo4(0x0A02, 1, noise64k[:65600])
attack_frames += [eth(IPV4, frag4(S4, D4, 0x102, 1, d, o, m)) for o, d, m in split(msg, 1480)]
# 50-53: GRE over IPv4 fragmented around an echo, the second fragment twice.
inner = ip4(a4("10.50.0.1"), a4("10.50.0.2"), 1, echo4(0x0A03, 1, pattern[:1500]), ttl=64)
parts = split(gre(IPV4, inner), 600)
gre_frags = [eth(IPV4, frag4(a4("192.0.2.51"), a4("198.51.100.51"), 0x103, 47, d, o, m))
             for o, d, m in parts]
attack_frames += [gre_frags[0], gre_frags[1], gre_frags[1], gre_frags[2]]
# 54-56: IPv6 behind a hop-by-hop header, last fragment first, the middle one with other bytes
# where it overlaps the first.
msg = echo6(S6, D6, 0x0A04, 1, pattern[:3000])
hop = bytes([0, 0, 1, 4, 0, 0, 0, 0])
p6 = split(msg, 1232)
attack_frames.append(eth(IPV6, frag6(S6, D6, 0x104, 58, p6[2][1], p6[2][0], False, hop)))
attack_frames.append(eth(IPV6, frag6(S6, D6, 0x104, 58, p6[0][1], 0, True, hop)))
attack_frames.append(eth(IPV6, frag6(S6, D6, 0x104, 58, b"Y" * 8 + p6[1][1], 1224, True, hop)))
# 57: the middle of an echo whose first fragment never comes.
attack_frames.append(eth(IPV4, frag4(S4, D4, 0x105, 1, pattern[:800], 800, True)))
# 58: the first fragment of an echo whose rest never comes; 59, 61 s later, gives it up and is
# an echo of its own.
attack_frames.append(eth(IPV4, frag4(S4, D4, 0x106, 1, echo4(0x0A06, 1, string.ascii_letters.encode() * 15 + b"ab"), 0, True)))
attack_frames.append(eth(IPV4, ip4(S4, D4, 1, echo4(0x0A07, 1, b"late"), ttl=64)))
# 60-61: an echo missing its middle: reported as far as it came when the capture ends.
parts = split(echo4(0x0A08, 1, string.ascii_letters.encode() * 40), 800)
attack_frames += [eth(IPV4, frag4(S4, D4, 0x108, 1, d, o, m)) for o, d, m in (parts[0], parts[2])]
stamps = [(base, n) for n in range(58)] + [(base + 61, 0), (base + 61, 1), (base + 61, 2)]
write("fragment_attacks.pcap", [(sec, usec, f) for (sec, usec), f in zip(stamps, attack_frames)])

# A Windows-style ping: four request/reply pairs carrying the 32-byte alphabet that wraps after w,
# one identifier throughout, sequence numbers counting up, a reply 1 ms after its request, a
# second between pairs, and TTL 128 as that system sends them.
WIN, HOST = a4("192.0.2.77"), a4("192.0.2.1")
alphabet = b"abcdefghijklmnopqrstuvwabcdefghi"


def win_echo(t, seq):
    msg = struct.pack(">BBHHH", t, 0, 0, 0x0001, seq) + alphabet
    return msg[:2] + struct.pack(">H", csum(msg)) + msg[4:]


win_base = 1767225600 + 3600  # 2026-01-01 01:00:00 UTC
windows = []
for k, seq in enumerate(range(21, 25)):
    windows.append((win_base + k, 0, eth(IPV4, ip4(WIN, HOST, 1, win_echo(8, seq), ttl=128))))
    windows.append((win_base + k, 1000, eth(IPV4, ip4(HOST, WIN, 1, win_echo(0, seq), ttl=64),
                                            macs=ETH[6:] + ETH[:6])))
write("windows_ping.pcap", windows)


# Reply pairing: one case after another of a reply that answers its request or does not, as the
# README lists them. Requests go from 192.0.2.60 to 198.51.100.60 (IPv6: 2001:db8:60::1 to ::2),
# replies back; an 8-byte payload, 12 for a timestamp, 4 for an address mask.
PA, PB = a4("192.0.2.60"), a4("198.51.100.60")
PA6, PB6 = a6("2001:db8:60::1"), a6("2001:db8:60::2")


def exchange4(t, ident, seq, src, dst, body=b"pairing!"):
    msg = struct.pack(">BBHHH", t, 0, 0, ident, seq) + body
    msg = msg[:2] + struct.pack(">H", csum(msg)) + msg[4:]
    return eth(IPV4, ip4(src, dst, 1, msg, ttl=64))


def exchange6(t, ident, seq, src, dst, body=b"pairing!"):
    msg = struct.pack(">BBHHH", t, 0, 0, ident, seq) + body
    pseudo = src + dst + struct.pack(">IxxxB", len(msg), 58)
    msg = msg[:2] + struct.pack(">H", csum(pseudo + msg)) + msg[4:]
    return eth(IPV6, ip6(src, dst, 58, msg, hlim=64))


def req(ident, seq, t=8, body=b"pairing!"):
    return exchange4(t, ident, seq, PA, PB, body)


def rep(ident, seq, t=0, body=b"pairing!"):
    return exchange4(t, ident, seq, PB, PA, body)


pairing = [  # (milliseconds after the start, frame)
    (0, rep(0x700, 1)),  # 1: the capture's last frame is its request
    (1000, req(0x100, 1)),
    (1001, rep(0x100, 1)),
    (2000, req(0x100, 2)),  # 4: its reply is lost
    (3000, req(0x100, 3)),
    (3002, rep(0x100, 3)),
    (3500, exchange4(0, 0x100, 2, PA, PB)),  # 7: a reply to 4 going the way of the requests
    (4000, req(0x100, 4)),
    (4100, req(0x100, 4)),  # 9: the sequence number again
    (4200, rep(0x100, 4)),
    (4300, rep(0x100, 4)),
    (4400, rep(0x100, 4)),  # 12: a third reply, with no request left
    (5000, rep(0x100, 5)),  # 13: before its request
    (5100, req(0x100, 5)),
    (6000, rep(0x999, 1)),  # 15: no request at all
    (7000, req(0x200, 1)),  # 16, 17: two identifiers between the same hosts
    (7010, req(0x201, 1)),
    (7020, rep(0x201, 1)),
    (7030, rep(0x200, 1)),
]
# 20-84: 65 requests, sequence 1 to 65, so the first falls out of the window of 64; then the
# replies to sequence 1 (none) and 2 (frame 21).
pairing += [(8000 + seq, req(0x300, seq)) for seq in range(1, 66)]
pairing += [(9000, rep(0x300, 1)), (9001, rep(0x300, 2))]
stamp, mask = bytes(12), bytes(4)
pairing += [
    (10000, req(0x400, 1, 13, stamp)),  # 87: a timestamp request
    (10100, rep(0x400, 1)),  # 88: an echo reply with its identifier and sequence number
    (10200, rep(0x400, 1, 14, stamp)),
    (11000, req(0x500, 7, 17, mask)),  # 90: an address mask request
    (11005, rep(0x500, 7, 18, mask)),
    (12000, exchange6(128, 0x600, 1, PA6, PB6)),  # 92: IPv6
    (12007, exchange6(129, 0x600, 1, PB6, PA6)),
    (13000, req(0x700, 1)),  # 94: answered by frame 1 alone, which came first
]
pairing_base = 1767225600 + 7200  # 2026-01-01 02:00:00 UTC
write("pairing.pcap", [(pairing_base + ms // 1000, ms % 1000 * 1000, f) for ms, f in pairing])


# Input made to fool a decoder or lose a message; README.md tells each frame.
A4, B4 = a4("192.0.2.35"), a4("198.51.100.35")


def tagged(vids, ethertype, payload):
    tags = b"".join(struct.pack(">HH", 0x88A8 if k == 0 and len(vids) > 1 else 0x8100, vid)
                    for k, vid in enumerate(vids))
    return ETH + tags + struct.pack(">H", ethertype) + payload


def in_vxlan(vni, frame, flags=0x08):
    return eth(IPV4, ip4(a4("192.0.2.1"), a4("192.0.2.2"), 17, udp(40000, 4789, vxlan(vni, frame, flags))))


whole_echo = ip4(A4, B4, 1, echo4(0x3501, 1, pattern[:64]), ttl=64)
adversarial = []
# 1-12: two echoes of 2,992 payload bytes with one source, destination and IP identification,
# in VLANs 10 and 20, then in VXLAN networks 100 and 200, their fragments interleaved.
nets = [echo4(0x3502, 1, pattern[:2992]), echo4(0x3503, 2, pattern[::-1][:2992])]
frags = [split(m, 1480) for m in nets]
for k in range(3):
    for vid, parts in zip((10, 20), frags):
        o, d, m = parts[k]
        adversarial.append(tagged([vid], IPV4, frag4(A4, B4, 0x3500, 1, d, o, m)))
for k in range(3):
    for vni, parts in zip((100, 200), frags):
        o, d, m = parts[k]
        adversarial.append(in_vxlan(vni, inner_eth(35, IPV4, frag4(A4, B4, 0x3500, 1, d, o, m))))
# 13: UDP from the Teredo port holding what merely starts like IPv6: hop limit 0, no payload by
# its length, an echo request behind.
lookalike = bytes([0x60, 0, 0, 0, 0, 0, 58, 0]) + a6("2001:db8:35::1") + a6("2001:db8:35::2") + \
    echo6(a6("2001:db8:35::1"), a6("2001:db8:35::2"), 0x3504, 1, b"lookalike")
adversarial.append(eth(IPV4, ip4(A4, B4, 17, udp(3544, 40001, lookalike), ttl=64)))
# 14: GRE of version 2; 15: VXLAN without its I flag.
adversarial.append(eth(IPV4, ip4(A4, B4, 47, struct.pack(">HH", 2, IPV4) + whole_echo)))
adversarial.append(in_vxlan(300, inner_eth(35, IPV4, whole_echo), flags=0))
# 16: three VLAN tags; 17: eight.
adversarial.append(tagged([100, 200, 300], IPV4, whole_echo))
adversarial.append(tagged(list(range(1, 9)), IPV4, whole_echo))
# 18: PPPoE session 0x3535 whose PPP protocol is compressed to one byte.
adversarial.append(eth(0x8864, pppoe(0x3535, b"\x21" + whole_echo)))
# 19: an Ethernet pseudowire in MPLS (label 1000), its control word, then Ethernet.
adversarial.append(eth(0x8847, mpls([1000], bytes(4) + inner_eth(35, IPV4, whole_echo))))
# 20: a port unreachable quoting IPv6 with a destination options header in front of UDP.
q_src, q_dst = a6("2001:db8:35::1"), a6("2001:db8:35::2")
quoted = ip6(q_src, q_dst, 60, bytes([17, 0, 1, 4, 0, 0, 0, 0]) + udp(40002, 33434, b""), hlim=1)
unreach = bytes([1, 4, 0, 0, 0, 0, 0, 0]) + quoted
pseudo = q_dst + q_src + struct.pack(">IxxxB", len(unreach), 58)
unreach = unreach[:2] + struct.pack(">H", csum(pseudo + unreach)) + unreach[4:]
adversarial.append(eth(IPV6, ip6(q_dst, q_src, 58, unreach, hlim=64)))
# 21-23: an echo of 2,992 payload bytes in three fragments, each cut to 100 bytes by the capture.
cut = [eth(IPV4, frag4(A4, B4, 0x3506, 1, d, o, m)) for o, d, m in split(nets[0], 1480)]
records = [(base + n, 0, f) for n, f in enumerate(adversarial, 1)]
records += [(base + len(records) + k + 1, 0, f[:100], len(f)) for k, f in enumerate(cut)]
write("adversarial.pcap", records)

# details.pcap: what messages say beyond their name, and the types named last, one frame each.
D4, G4 = a4("192.0.2.37"), a4("198.51.100.37")
D6, G6 = a6("2001:db8:37::1"), a6("2001:db8:37::2")


def msg4(t, code, rest, body=b""):
    m = bytes([t, code, 0, 0]) + rest + body
    return eth(IPV4, ip4(G4, D4, 1, m[:2] + struct.pack(">H", csum(m)) + m[4:], ttl=64))


def msg6(t, code, rest, body=b"", src=G6, dst=D6):
    m = bytes([t, code, 0, 0]) + rest + body
    pseudo = src + dst + struct.pack(">IxxxB", len(m), 58)
    return eth(IPV6, ip6(src, dst, 58, m[:2] + struct.pack(">H", csum(pseudo + m)) + m[4:], hlim=255))


def ext(objects, version=2, summed=True):
    """An RFC 4884 extension structure: its header (version 2 unless told, with a checksum unless
    told) and its objects (class, c-type, data)."""
    body = b"".join(struct.pack(">HBB", 4 + len(d), c, t) + d for c, t, d in objects)
    h = bytes([version << 4, 0, 0, 0]) + body
    return h[:2] + struct.pack(">H", csum(h) if summed else 0) + h[4:]


udp_probe = ip4(D4, G4, 17, udp(40037, 33434, b""), ttl=1)
echo_probe = ip4(D4, G4, 1, bytes([8, 0, 0, 0]) + struct.pack(">HH", 0x3701, 5) + b"probe!!!", ttl=1)
udp6_probe = ip6(D6, G6, 17, udp(40037, 33434, b""), hlim=1)
quoted128 = (udp_probe + bytes(128))[:128]
labels = struct.pack(">II", (16001 << 12) | (0 << 9) | (0 << 8) | 1, (16002 << 12) | (5 << 9) | (1 << 8) | 1)
iface = struct.pack(">IHH", 7, 1, 0) + a4("192.0.2.1")  # ifIndex and IPv4 address: c-type 0x0c
details = [
    msg4(3, 4, struct.pack(">HH", 0, 1400), udp_probe),
    msg4(5, 1, a4("192.0.2.1"), udp_probe),
    msg4(12, 0, bytes([20, 0, 0, 0]), udp_probe),
    msg4(13, 0, struct.pack(">HHIII", 0x3702, 1, 1000, 0, 0)),
    msg4(14, 0, struct.pack(">HHIII", 0x3702, 1, 1000, 2000, 2001)),
    msg4(18, 0, struct.pack(">HH", 0x3703, 1) + a4("255.255.255.0")),
    msg4(11, 0, bytes(4), echo_probe),
    msg4(11, 0, bytes([0, 32, 0, 0]), quoted128 + ext([(1, 1, labels), (2, 0x0c, iface)])),
    msg4(42, 0, struct.pack(">HBB", 0x3704, 1, 1), ext([(3, 1, b"eth0\0\0\0\0")])),
    msg4(43, 0, struct.pack(">HBB", 0x3704, 1, (2 << 5) | 0x4 | 0x2)),
    msg6(2, 0, struct.pack(">I", 1280), udp6_probe),
    msg6(4, 0, struct.pack(">I", 40), udp6_probe),
    msg6(135, 0, bytes(4), a6("2001:db8:37::9") + bytes([1, 1]) + bytes.fromhex("02000000abcd")),
    msg6(136, 0, bytes([0xE0, 0, 0, 0]), a6("2001:db8:37::9") + bytes([2, 1]) + bytes.fromhex("02000000abce")),
    msg6(134, 0, bytes([64, 0xC0]) + struct.pack(">H", 1800),
         struct.pack(">II", 0, 0) + bytes([1, 1]) + bytes.fromhex("02000000abcf") +
         bytes([5, 1, 0, 0]) + struct.pack(">I", 1400) +
         bytes([3, 4, 64, 0xC0]) + struct.pack(">III", 86400, 14400, 0) + a6("2001:db8:37::")),
    msg6(137, 0, bytes(4), a6("fe80::1") + a6("2001:db8:99::1") + bytes([2, 1]) + bytes.fromhex("02000000abd0")),
    msg6(131, 0, bytes(4), a6("ff02::1:3")),
    msg6(143, 0, struct.pack(">HH", 0, 2),
         bytes([4, 0, 0, 0]) + a6("ff02::fb") + bytes([3, 0, 0, 1]) + a6("ff02::1:2") + a6("2001:db8:37::5"),
         dst=a6("ff02::16")),
    msg6(160, 0, struct.pack(">HBB", 0x3705, 1, 1), ext([(3, 2, struct.pack(">I", 2))])),
    msg6(161, 0, struct.pack(">HBB", 0x3705, 1, (3 << 5) | 0x4 | 0x1)),
] + [msg6(t, 0, bytes(4)) for t in (144, 145, 146, 147, 148, 149, 150, 151, 152, 153, 155)]
write("details.pcap", [(1767225600 + 3700 + n, 0, f) for n, f in enumerate(details, 1)])

# extensions.pcap: the extension objects of errors and the extended echo requests that
# details.pcap does not show, and damaged extension structures. Same addresses as details.pcap.


def interface(role, ifindex=None, address=None, name=None, mtu=None):
    """An RFC 5837 interface information object: its c-type says which parts follow."""
    ctype, data = role << 6, b""
    if ifindex is not None:
        ctype, data = ctype | 8, data + struct.pack(">I", ifindex)
    if address is not None:
        packed = ipaddress.ip_address(address).packed
        ctype, data = ctype | 4, data + struct.pack(">HH", 1 if len(packed) == 4 else 2, 0) + packed
    if name is not None:
        size = (len(name) + 4) // 4 * 4
        ctype, data = ctype | 2, data + bytes([size]) + name.encode().ljust(size - 1, b"\0")
    if mtu is not None:
        ctype, data = ctype | 1, data + struct.pack(">I", mtu)
    return (2, ctype, data)


def by_address(address):
    packed = ipaddress.ip_address(address).packed
    return (3, 3, struct.pack(">HBB", 1 if len(packed) == 4 else 2, len(packed), 0) + packed)


quoted6 = (udp6_probe + bytes(128))[:128]
one_label = (1, 1, struct.pack(">I", (24005 << 12) | (2 << 9) | (1 << 8) | 254))
bad_sum = bytearray(ext([one_label]))
bad_sum[3] ^= 0x5A
cut = ext([one_label], summed=False) + struct.pack(">HBB", 40, 2, 0x08) + struct.pack(">I", 3)
bad_name = ext([(2, 0x02, bytes([6]) + b"xe-0\0")])
extensions = [
    # 1: no length, as senders before RFC 4884 wrote it: the structure after 128 quoted bytes.
    msg4(11, 0, bytes(4), quoted128 + ext([one_label])),
    # 2: ICMPv6 time exceeded quoting 128 bytes (16 64-bit words), one interface with every part.
    msg6(3, 0, bytes([16, 0, 0, 0]),
         quoted6 + ext([interface(2, 9, "2001:db8:37::fe", "ge-0/0/1.0", 1500)])),
    # 3: port unreachable with labels and two interfaces: where it came in, and the next hop.
    msg4(3, 3, bytes([0, 32, 0, 0]), quoted128 + ext([
        one_label, interface(0, 3, "192.0.2.1", "eth3"), interface(3, address="192.0.2.254")])),
    # 4: a checksum that does not hold.
    msg4(3, 3, bytes([0, 32, 0, 0]), quoted128 + bytes(bad_sum)),
    # 5: no checksum, and a second object longer than what follows.
    msg4(11, 0, bytes([0, 32, 0, 0]), quoted128 + cut),
    # 6: version 1.
    msg4(11, 0, bytes([0, 32, 0, 0]), quoted128 + ext([one_label], version=1)),
    # 7: an interface name sub-object of 6 bytes, not a multiple of 4.
    msg4(11, 0, bytes([0, 32, 0, 0]), quoted128 + bad_name),
    # 8, 9: extended echo requests by address, not local, and a reply saying no such interface.
    msg4(42, 0, struct.pack(">HBB", 0x3706, 2, 0), ext([by_address("192.0.2.99")])),
    msg6(160, 0, struct.pack(">HBB", 0x3707, 3, 0), ext([by_address("2001:db8:37::99")])),
    msg4(43, 2, struct.pack(">HBB", 0x3706, 2, 0)),
]
write("extensions.pcap", [(1767225600 + 3800 + n, 0, f) for n, f in enumerate(extensions, 1)])
