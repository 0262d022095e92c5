#!/bin/sh
# Writes traceroute.pcap: a host, a router and a far host in three network namespaces, captured at
# the host while `traceroute -I` (echo requests as probes) finds the far host in two hops: the
# router's time exceeded quotes the probes with a TTL of 1, the far host answers the others with
# echo replies. Run as root. Nothing leaves the three namespaces it makes, and they go away on
# exit.
set -eu

cd "$(dirname "$0")"
out=$PWD/traceroute.pcap

H=n37c-tr-h
R=n37c-tr-r
F=n37c-tr-f
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
ip link add n37c-h netns "$H" type veth peer name n37c-rh netns "$R"
ip link add n37c-f netns "$F" type veth peer name n37c-rf netns "$R"

ip -n "$H" addr add 10.37.5.2/24 dev n37c-h
ip -n "$R" addr add 10.37.5.1/24 dev n37c-rh
ip -n "$R" addr add 10.37.6.1/24 dev n37c-rf
ip -n "$F" addr add 10.37.6.2/24 dev n37c-f
ip -n "$H" link set n37c-h up
ip -n "$R" link set n37c-rh up
ip -n "$R" link set n37c-rf up
ip -n "$F" link set n37c-f up
ip netns exec "$R" sysctl -qw net.ipv4.ip_forward=1
ip -n "$H" route add default via 10.37.5.1
ip -n "$F" route add default via 10.37.6.1
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
