#!/bin/sh
# Writes path_mtu.pcap: a host, a router and a far host in three network namespaces, the router's
# far link with an MTU of 1280, captured at the host. Pings too big to pass with fragmentation
# forbidden bring a frag needed and a packet too big; pings with a TTL of 1 bring time exceeded;
# a timestamp request its reply; IPv6 neighbor discovery comes along. Run as root. Nothing leaves
# the three namespaces it makes, and they go away on exit.
set -eu

cd "$(dirname "$0")"
out=$PWD/path_mtu.pcap

. ./routed_namespaces.sh
routed_namespaces pm 10.37.1 10.37.2 fd37:1 fd37:2 1280
sleep 1

ip netns exec "$H" tcpdump -i pm-h -U -w "$out" 'icmp or icmp6' 2>/dev/null &
pid=$!
sleep 1
ip netns exec "$H" ping -c1 -W1 -M do -s 1372 10.37.2.2 >/dev/null || true
ip netns exec "$H" ping -6 -c1 -W1 -M do -s 1372 fd37:2::2 >/dev/null || true
ip netns exec "$H" hping3 -q --icmp-ts -c 1 10.37.2.2 >/dev/null 2>&1 || true
ip netns exec "$H" ping -c1 -W1 -t 1 10.37.2.2 >/dev/null || true
ip netns exec "$H" ping -6 -c1 -W1 -t 1 fd37:2::2 >/dev/null || true
sleep 1
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=
echo "path_mtu.pcap: $(tshark -r "$out" 2>/dev/null | wc -l) frames"
