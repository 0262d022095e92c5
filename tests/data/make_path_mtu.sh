#!/bin/sh
# Writes path_mtu.pcap: a host, a router and a far host in three network namespaces, the router's
# far link with an MTU of 1280, captured at the host. Pings too big to pass with fragmentation
# forbidden bring a frag needed and a packet too big; pings with a TTL of 1 bring time exceeded;
# a timestamp request its reply; IPv6 neighbor discovery comes along. Run as root. Nothing leaves
# the three namespaces it makes, and they go away on exit.
set -eu

cd "$(dirname "$0")"
out=$PWD/path_mtu.pcap

H=nelo-pm-h
R=nelo-pm-r
F=nelo-pm-f
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
ip link add pm-h netns "$H" type veth peer name pm-rh netns "$R"
ip link add pm-f netns "$F" mtu 1280 type veth peer name pm-rf netns "$R" mtu 1280

ip -n "$H" addr add 10.37.1.2/24 dev pm-h
ip -n "$H" addr add fd37:1::2/64 dev pm-h nodad
ip -n "$R" addr add 10.37.1.1/24 dev pm-rh
ip -n "$R" addr add fd37:1::1/64 dev pm-rh nodad
ip -n "$R" addr add 10.37.2.1/24 dev pm-rf
ip -n "$R" addr add fd37:2::1/64 dev pm-rf nodad
ip -n "$F" addr add 10.37.2.2/24 dev pm-f
ip -n "$F" addr add fd37:2::2/64 dev pm-f nodad
ip -n "$H" link set pm-h up
ip -n "$R" link set pm-rh up
ip -n "$R" link set pm-rf up
ip -n "$F" link set pm-f up
ip netns exec "$R" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
ip -n "$H" route add default via 10.37.1.1
ip -n "$H" -6 route add default via fd37:1::1
ip -n "$F" route add default via 10.37.2.1
ip -n "$F" -6 route add default via fd37:2::1
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
