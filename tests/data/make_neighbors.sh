#!/bin/sh
# Writes neighbors.pcap: a host, a router and a second host on one bridged link in three network
# namespaces, captured at the host. radvd on the router advertises two prefixes, an MTU, flags and
# a high preference; the host's link coming up brings its solicitations and MLDv2 reports, the
# bridge queries for listeners, a group is joined and left with MLDv2 and then with MLDv1. The
# host's routes to the second host point at the router, whose send_redirects then tells it, in
# IPv4 and IPv6, to go directly. Run as root. Nothing leaves the three namespaces it makes, and
# they go away on exit.
set -eu

cd "$(dirname "$0")"
out=$PWD/neighbors.pcap

H=n37a-h
R=n37a-r
T=n37a-t
work=$(mktemp -d)
pids=
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    for ns in "$H" "$R" "$T"; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

for ns in "$H" "$R" "$T"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
done
ip link add n37a-h netns "$H" address 02:37:0a:00:00:02 type veth peer name n37a-rh netns "$R"
ip link add n37a-t netns "$T" address 02:37:0a:00:00:03 type veth peer name n37a-rt netns "$R"
ip -n "$R" link add n37a-br address 02:37:0a:00:00:01 type bridge \
    mcast_snooping 1 mcast_querier 1 mcast_mld_version 2
ip -n "$R" link set n37a-rh master n37a-br
ip -n "$R" link set n37a-rt master n37a-br
ip netns exec "$R" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1 \
    net.ipv4.conf.all.send_redirects=1 net.ipv4.conf.default.send_redirects=1

ip -n "$R" addr add 10.37.10.1/24 dev n37a-br
ip -n "$R" addr add fd37:a::1/64 dev n37a-br nodad
ip -n "$H" addr add 10.37.10.2/24 dev n37a-h
ip -n "$H" addr add fd37:a::2/64 dev n37a-h nodad
ip -n "$T" addr add 10.37.10.3/24 dev n37a-t
ip -n "$T" addr add fd37:a::3/64 dev n37a-t nodad
ip -n "$R" link set n37a-br up
ip -n "$R" link set n37a-rt up
ip -n "$T" link set n37a-t up
ip -n "$H" link set n37a-h up
sleep 1

cat >"$work/radvd.conf" <<'CONF'
interface n37a-br {
    AdvSendAdvert on;
    MinRtrAdvInterval 3;
    MaxRtrAdvInterval 4;
    AdvManagedFlag on;
    AdvOtherConfigFlag on;
    AdvDefaultPreference high;
    AdvCurHopLimit 64;
    AdvDefaultLifetime 1800;
    AdvLinkMTU 1400;
    prefix fd37:a::/64 {
        AdvOnLink on;
        AdvAutonomous on;
        AdvValidLifetime 86400;
        AdvPreferredLifetime 14400;
    };
    prefix fd37:b::/64 {
        AdvOnLink on;
        AdvAutonomous off;
        AdvValidLifetime 7200;
        AdvPreferredLifetime 3600;
    };
};
CONF

# The host's side has no carrier until the router's port comes up, so its link coming up is seen.
ip netns exec "$H" tcpdump -i n37a-h -U -w "$out" 'icmp or icmp6 or ip6 proto 0' 2>/dev/null &
pids="$pids $!"
sleep 1
ip netns exec "$R" radvd -n -C "$work/radvd.conf" -p "$work/radvd.pid" -m none &
pids="$pids $!"
ip -n "$R" link set n37a-rh up
sleep 3

# A group joined and left with MLDv2, then with MLDv1.
ip netns exec "$H" socat -u 'UDP6-RECV:3737,ipv6-join-group=[ff15::37:2]:n37a-h' /dev/null &
join=$!
sleep 1
kill "$join"
ip netns exec "$H" sysctl -qw net.ipv6.conf.n37a-h.force_mld_version=1
ip netns exec "$H" socat -u 'UDP6-RECV:3737,ipv6-join-group=[ff15::37:1]:n37a-h' /dev/null &
join=$!
sleep 1
kill "$join"
sleep 1

# The router learns the second host's addresses, so its IPv6 redirect can carry its link address.
ip netns exec "$R" ping -c1 -W1 10.37.10.3 >/dev/null
ip netns exec "$R" ping -6 -c1 -W1 fd37:a::3 >/dev/null
ip -n "$H" route add 10.37.10.3/32 via 10.37.10.1
ip -n "$H" -6 route add fd37:a::3/128 via fd37:a::1
ip netns exec "$H" ping -c1 -W1 10.37.10.3 >/dev/null || true
ip netns exec "$H" ping -6 -c1 -W1 fd37:a::3 >/dev/null || true
sleep 1
for p in $pids; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
pids=
echo "neighbors.pcap: $(tshark -r "$out" 2>/dev/null | wc -l) frames"
