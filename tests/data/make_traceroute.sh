#!/bin/sh
# Writes traceroute.pcap: a host, a router and a far host in three network namespaces, captured at
# the host while `traceroute -I` (echo requests as probes) finds the far host in two hops: the
# router's time exceeded quotes the probes with a TTL of 1, the far host answers the others with
# echo replies. Run as root. Nothing leaves the three namespaces it makes, and they go away on
# exit.
set -eu

cd "$(dirname "$0")"
out=$PWD/traceroute.pcap

. ./routed_namespaces.sh
routed_namespaces n37c 10.37.5 10.37.6
# Neighbours are resolved before the capture, so it holds the probes and their answers alone.
ip netns exec "$H" ping -c1 -W1 10.37.6.2 >/dev/null
sleep 1

ip netns exec "$H" tcpdump -i n37c-h -U -w "$out" icmp 2>/dev/null &
pid=$!
sleep 1
# Two probes a hop, one at a time, no names looked up.
ip netns exec "$H" traceroute -I -n -q 2 -N 1 -m 3 10.37.6.2 >/dev/null
sleep 1
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=
echo "traceroute.pcap: $(tshark -r "$out" 2>/dev/null | wc -l) frames"
