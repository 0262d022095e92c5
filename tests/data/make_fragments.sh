#!/bin/sh
# Writes fragments.pcap: ICMP and ICMPv6 echoes too large for a 1500-byte MTU, so that the kernel
# splits each datagram into fragments, beside small echoes that travel whole. Two network
# namespaces joined by a veth pair, captured on one end. Run as root.
# Nothing leaves the two namespaces it makes, and both go away on exit.
set -eu

cd "$(dirname "$0")"
out=$PWD/fragments.pcap

A=nelo-fr-a
B=nelo-fr-b
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    ip netns del "$A" 2>/dev/null || true
    ip netns del "$B" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

ip netns add "$A"
ip netns add "$B"
ip link add veth-a netns "$A" address 02:00:00:00:98:01 mtu 1500 type veth \
    peer name veth-b netns "$B" address 02:00:00:00:98:02 mtu 1500

side() { # namespace, veth, own host number, peer's veth MAC, peer's host number
    ns=$1
    ip -n "$ns" link set lo up
    # No router solicitations and no duplicate address checks: the link should carry only what
    # the recipe sends.
    ip netns exec "$ns" sysctl -q "net.ipv6.conf.$2.router_solicitations=0"
    ip netns exec "$ns" sysctl -q "net.ipv6.conf.$2.accept_dad=0"
    ip -n "$ns" addr add "10.98.0.$3/24" dev "$2"
    ip -n "$ns" addr add "fd98::$3/64" dev "$2" nodad
    # Known neighbours: no ARP or neighbor discovery between the echoes.
    ip -n "$ns" neigh add "10.98.0.$5" lladdr "$4" dev "$2" nud permanent
    ip -n "$ns" neigh add "fd98::$5" lladdr "$4" dev "$2" nud permanent
    ip -n "$ns" link set "$2" up
}
side "$A" veth-a 1 02:00:00:00:98:02 2
side "$B" veth-b 2 02:00:00:00:98:01 1
# Let the new links' group reports go by before capturing.
sleep 3

# No filter: every fragment of an IPv6 datagram, the first too, names the fragment header as its
# next header, so `icmp6` would keep only the echoes that travel whole. -s 0 keeps every byte.
ip netns exec "$B" tcpdump -i veth-b -s 0 -U -w "$out" 2>/dev/null &
pid=$!
sleep 1

ip netns exec "$A" ping -c 1 -s 56 10.98.0.2
ip netns exec "$A" ping -c 2 -i 0.2 -s 3000 10.98.0.2
ip netns exec "$A" ping -c 1 -s 8000 10.98.0.2
ip netns exec "$A" ping -6 -c 1 -s 56 fd98::2
ip netns exec "$A" ping -6 -c 2 -i 0.2 -s 3000 fd98::2
ip netns exec "$A" ping -6 -c 1 -s 8000 fd98::2

sleep 1
kill -INT "$pid"
wait "$pid" || true
pid=
echo "fragments.pcap: $(capinfos -c -M "$out" | sed -n 's/^Number of packets: *//p') records"
