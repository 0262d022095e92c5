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

H=n37b-h
R=n37b-r
F=n37b-f
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    for ns in "$H" "$R" "$F"; do ip netns del "$ns" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM

for ns in "$H" "$R" "$F"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
done
ip link add n37b-h netns "$H" type veth peer name n37b-rh netns "$R"
ip link add n37b-f netns "$F" mtu 1280 type veth peer name n37b-rf netns "$R" mtu 1280

ip -n "$H" addr add 10.38.1.2/24 dev n37b-h
ip -n "$H" addr add fd38:1::2/64 dev n37b-h nodad
ip -n "$R" addr add 10.38.1.1/24 dev n37b-rh
ip -n "$R" addr add fd38:1::1/64 dev n37b-rh nodad
ip -n "$R" addr add 10.38.2.1/24 dev n37b-rf
ip -n "$R" addr add fd38:2::1/64 dev n37b-rf nodad
ip -n "$F" addr add 10.38.2.2/24 dev n37b-f
ip -n "$F" addr add fd38:2::2/64 dev n37b-f nodad
ip -n "$H" link set n37b-h up
ip -n "$R" link set n37b-rh up
ip -n "$R" link set n37b-rf up
ip -n "$F" link set n37b-f up
ip netns exec "$R" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
ip netns exec "$F" sysctl -qw net.ipv4.icmp_echo_enable_probe=1
ip -n "$H" route add default via 10.38.1.1
ip -n "$H" -6 route add default via fd38:1::1
ip -n "$F" route add default via 10.38.2.1
ip -n "$F" -6 route add default via fd38:2::1
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
