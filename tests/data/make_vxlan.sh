#!/bin/sh
# Writes vxlan.pcap: ICMP and ICMPv6 carried inside VXLAN between two network
# namespaces joined by a veth pair, captured on the underlay. Run as root.
# Nothing leaves the two namespaces it makes, and both go away on exit.
set -eu

cd "$(dirname "$0")"
out=$PWD/vxlan.pcap

A=nelo-vx-a
B=nelo-vx-b
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    ip netns del "$A" 2>/dev/null || true
    ip netns del "$B" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

ip netns add "$A"
ip netns add "$B"
ip link add veth-a netns "$A" mtu 1500 type veth peer name veth-b netns "$B" mtu 1500

side() { # namespace, veth, own underlay, remote underlay, own host number
    ns=$1
    ip -n "$ns" link set lo up
    # The underlay stays IPv4 only, so its own IPv6 chatter never competes.
    ip netns exec "$ns" sysctl -q "net.ipv6.conf.$2.disable_ipv6=1"
    ip -n "$ns" addr add "$3/24" dev "$2"
    ip -n "$ns" link set "$2" up
    ip -n "$ns" link add vx0 type vxlan id 42 dstport 4789 local "$3" remote "$4" dev "$2"
    # No router solicitations: the overlay should carry only what the recipe sends.
    ip netns exec "$ns" sysctl -q net.ipv6.conf.vx0.router_solicitations=0
    ip -n "$ns" addr add "192.168.42.$5/24" dev vx0
    ip -n "$ns" addr add "fd42::$5/64" dev vx0 nodad
    ip -n "$ns" link set vx0 up
}
side "$A" veth-a 10.99.0.1 10.99.0.2 1
side "$B" veth-b 10.99.0.2 10.99.0.1 2
# Let the new links' own address checks and group reports go by before capturing.
sleep 3

# The overlay's traffic is all inside UDP 4789, so the filter keeps it whole.
ip netns exec "$A" tcpdump -i veth-a -U -w "$out" 'udp port 4789' 2>/dev/null &
pid=$!
sleep 1

ip netns exec "$A" ping -c 3 -i 0.2 192.168.42.2
ip netns exec "$A" ping -6 -c 3 -i 0.2 fd42::2
# A datagram to a closed port draws a port unreachable, which comes back inside VXLAN too.
ip netns exec "$A" /usr/bin/python3 -c '
import socket
socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"nelo", ("192.168.42.2", 47999))'

sleep 1
kill -INT "$pid"
wait "$pid" || true
pid=
echo "vxlan.pcap: $(capinfos -c -M "$out" | sed -n 's/^Number of packets: *//p') records"
