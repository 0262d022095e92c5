#!/bin/sh
# Writes icmp_tunnels.pcap and pings.pcap. Run as root, with ptunnel, icmptx and nc (netcat-openbsd)
# installed. Nothing leaves the network namespaces it makes, and they go away on exit.
#
# icmp_tunnels.pcap: two ICMP tunnel tools at work between two network namespaces joined by a veth
# pair, captured on the far end: ptunnel forwarding a short TCP exchange, then icmptx carrying
# IP between two tun devices. Their echoes are what ordinary pings are not: replies that do not
# echo the request, payloads that change from one message to the next.
# pings.pcap: ordinary pings over one namespace's loopback, the baseline those are told from.
set -eu

cd "$(dirname "$0")"
tunnels=$PWD/icmp_tunnels.pcap
pings=$PWD/pings.pcap

A=nelo-it-a
B=nelo-it-b
P=nelo-it-p
pids=
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    for p in $pids; do wait "$p" 2>/dev/null || true; done
    ip netns del "$A" 2>/dev/null || true
    ip netns del "$B" 2>/dev/null || true
    ip netns del "$P" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Stops the background process $1 with signal $2 and waits for it.
stop() {
    kill -"$2" "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

ip netns add "$A"
ip netns add "$B"
ip link add veth-a netns "$A" address 02:00:00:00:97:01 mtu 1500 type veth \
    peer name veth-b netns "$B" address 02:00:00:00:97:02 mtu 1500

side() { # namespace, veth, own host number, peer's veth MAC, peer's host number
    ns=$1
    ip -n "$ns" link set lo up
    # The link stays IPv4 only and its neighbours are known, so it carries only the tunnels.
    ip netns exec "$ns" sysctl -q "net.ipv6.conf.$2.disable_ipv6=1"
    ip -n "$ns" addr add "10.97.0.$3/24" dev "$2"
    ip -n "$ns" neigh add "10.97.0.$5" lladdr "$4" dev "$2" nud permanent
    ip -n "$ns" link set "$2" up
}
side "$A" veth-a 1 02:00:00:00:97:02 2
side "$B" veth-b 2 02:00:00:00:97:01 1
# Both tools answer the requests themselves; the kernel's own replies would only repeat them.
ip netns exec "$B" sysctl -q net.ipv4.icmp_echo_ignore_all=1
sleep 1

ip netns exec "$B" tcpdump -i veth-b -s 0 -U -w "$tunnels" 'icmp or icmp6' 2>/dev/null &
cap=$!
pids="$pids $cap"
sleep 1

# ptunnel: the proxy in B hands the tunnel's bytes to a TCP service on its own loopback; the client
# in A takes TCP connections on port 8000 and carries them in echo requests.
# Both ends keep their input open until the exchange is over: ptunnel ends the whole session as
# soon as either side of the connection is closed.
ip netns exec "$B" sh -c '{ printf "HTTP/1.0 200 OK\n"; sleep 1.5; printf "\nhello from the far side\n"
    sleep 1; } | nc -l -q 0 127.0.0.1 7000' &
pids="$pids $!"
ip netns exec "$B" ptunnel -v -1 &
pids="$pids $!"
ip netns exec "$A" ptunnel -v -1 -p 10.97.0.2 -lp 8000 -da 127.0.0.1 -dp 7000 &
pt=$!
pids="$pids $pt"
sleep 1
{ printf 'GET / HTTP/1.0\n'; sleep 0.3; printf 'Host: far\n\n'; sleep 2; } | ip netns exec "$A" nc -q 0 127.0.0.1 8000
sleep 2
# ptunnel stops only on TERM.
stop "$pt" TERM
sleep 1

# icmptx: one IP link over echoes, 10.0.3.2 in A to 10.0.3.1 in B, crossed by a line of TCP each
# way. No ping across it: the server answers whoever sent it the last echo request, and a ping
# from the client's tun address would turn its replies back into the tunnel.
ip netns exec "$B" icmptx -s 10.97.0.2 &
pids="$pids $!"
ip netns exec "$A" icmptx -c 10.97.0.2 &
pids="$pids $!"
sleep 1
for ns in "$A" "$B"; do
    # No IPv6 on the tun devices, so no router solicitations ride the tunnel.
    ip netns exec "$ns" sysctl -q net.ipv6.conf.tun0.disable_ipv6=1
done
ip -n "$B" addr add 10.0.3.1/24 dev tun0
ip -n "$B" link set tun0 up
ip -n "$A" addr add 10.0.3.2/24 dev tun0
ip -n "$A" link set tun0 up
sleep 1
ip netns exec "$B" sh -c 'printf "and one back\n" | nc -l -q 1 10.0.3.1 7001' &
pids="$pids $!"
sleep 0.5
printf 'a line across the tunnel\n' | ip netns exec "$A" nc -q 2 10.0.3.1 7001
sleep 1

stop "$cap" INT
echo "icmp_tunnels.pcap: $(capinfos -c -M "$tunnels" | sed -n 's/^Number of packets: *//p') records"

# pings.pcap: ping's own options over a loopback of their own, a few echoes each, both families.
ip netns add "$P"
ip -n "$P" link set lo up
sleep 1
ip netns exec "$P" tcpdump -i lo -s 0 -U -w "$pings" 'icmp or icmp6' 2>/dev/null &
cap=$!
pids="$pids $cap"
sleep 1
for to in 127.0.0.1 ::1; do
    for opts in "" "-s 16" "-s 1000" "-p ff" "-i 0.2"; do
        # shellcheck disable=SC2086 # the options are words of their own
        ip netns exec "$P" ping -q -c 3 $opts "$to"
    done
done
sleep 1
stop "$cap" INT
echo "pings.pcap: $(capinfos -c -M "$pings" | sed -n 's/^Number of packets: *//p') records"
