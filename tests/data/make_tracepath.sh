#!/bin/sh
# Writes tracepath.pcap: a host, a router and a far host in three network namespaces, the router's
# far link with an MTU of 1280, captured at the host while tracepath runs to the far host over
# IPv4 and IPv6. Its UDP probes bring the router's time exceeded and its frag needed and packet
# too big (MTU 1280), and the far host's port unreachable. Then, with the far host answering
# extended echo (net.ipv4.icmp_echo_enable_probe), one ICMP and one ICMPv6 extended echo request
# each by name, by index and by address, sent on raw sockets, and the kernel's replies. Run as
# root.
# Nothing leaves the three namespaces it makes, and they go away on exit.
set -eu

cd "$(dirname "$0")"
out=$PWD/tracepath.pcap

. ./routed_namespaces.sh
routed_namespaces n37b 10.38.1 10.38.2 fd38:1 fd38:2 1280
ip netns exec "$F" sysctl -qw net.ipv4.icmp_echo_enable_probe=1
sleep 1

ip netns exec "$H" tcpdump -i n37b-h -U -w "$out" 'icmp or icmp6' 2>/dev/null &
pid=$!
sleep 1
ip netns exec "$H" tracepath -n -m 4 10.38.2.2 >/dev/null || true
ip netns exec "$H" tracepath -6 -n -m 4 fd38:2::2 >/dev/null || true
index=$(ip netns exec "$F" cat /sys/class/net/n37b-f/ifindex)
ip netns exec "$H" python3 - "$index" <<'PY'
import socket, struct, sys


def checksum(data):
    data += b"\0" * (len(data) % 2)
    s = sum(struct.unpack(">%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def summed(message):
    return message[:2] + struct.pack(">H", checksum(message)) + message[4:]


def structure(ctype, data):
    return summed(bytes([0x20, 0, 0, 0]) + struct.pack(">HBB", 4 + len(data), 3, ctype) + data)


index = int(sys.argv[1])
by = [structure(1, b"n37b-f\0\0"), structure(2, struct.pack(">I", index)),
      structure(3, struct.pack(">HBB", 1, 4, 0) + socket.inet_aton("10.38.2.2")),
      structure(3, struct.pack(">HBB", 2, 16, 0) + socket.inet_pton(socket.AF_INET6, "fd38:2::2"))]
v4 = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
for seq, ident in enumerate(by[:3], 1):
    v4.sendto(summed(struct.pack(">BBHHBB", 42, 0, 0, 0x3801, seq, 1) + ident), ("10.38.2.2", 0))
# The kernel sums an ICMPv6 message itself, pseudo-header and all.
v6 = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
for seq, ident in enumerate(by[:2] + by[3:], 1):
    v6.sendto(struct.pack(">BBHHBB", 160, 0, 0, 0x3802, seq, 1) + ident, ("fd38:2::2", 0))
PY
sleep 1
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=
echo "tracepath.pcap: $(tshark -r "$out" 2>/dev/null | wc -l) frames"
