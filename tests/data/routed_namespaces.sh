# Sourced by the capture scripts that need a host, a router and a far host. routed_namespaces
# makes three network namespaces, PREFIX-h, PREFIX-r and PREFIX-f (in $H, $R and $F), a veth pair
# from the host to the router (PREFIX-h, PREFIX-rh) and one from the router to the far host
# (PREFIX-rf, PREFIX-f) with the far link's MTU, forwarding at the router and the hosts' default
# routes through it. The scripts keep their capture's process id in $pid. Nothing they send
# leaves the three namespaces, and the namespaces and the capture go away when the script exits.
# usage: routed_namespaces PREFIX NEAR4 FAR4 [NEAR6 FAR6 [FAR_MTU]]
#   NEAR4, FAR4: the first three bytes of the host's and the far host's IPv4 /24 (10.37.1);
#   NEAR6, FAR6: the IPv6 /64 prefixes before their "::" (fd37:1), when IPv6 is wanted.
# The router is .1 (::1) on both links, the host and the far host .2 (::2).

pid=
cleanup_namespaces() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    for ns in "$H" "$R" "$F"; do ip netns del "$ns" 2>/dev/null || true; done
}

routed_namespaces() {
    prefix=$1 near4=$2 far4=$3 near6=${4:-} far6=${5:-} mtu=${6:-1500}
    H=$prefix-h R=$prefix-r F=$prefix-f
    trap cleanup_namespaces EXIT INT TERM
    for ns in "$H" "$R" "$F"; do
        ip netns add "$ns"
        ip -n "$ns" link set lo up
    done
    ip link add "$prefix-h" netns "$H" type veth peer name "$prefix-rh" netns "$R"
    ip link add "$prefix-f" netns "$F" mtu "$mtu" type veth peer name "$prefix-rf" netns "$R" \
        mtu "$mtu"
    ip -n "$H" addr add "$near4.2/24" dev "$prefix-h"
    ip -n "$R" addr add "$near4.1/24" dev "$prefix-rh"
    ip -n "$R" addr add "$far4.1/24" dev "$prefix-rf"
    ip -n "$F" addr add "$far4.2/24" dev "$prefix-f"
    if [ -n "$near6" ]; then
        ip -n "$H" addr add "$near6::2/64" dev "$prefix-h" nodad
        ip -n "$R" addr add "$near6::1/64" dev "$prefix-rh" nodad
        ip -n "$R" addr add "$far6::1/64" dev "$prefix-rf" nodad
        ip -n "$F" addr add "$far6::2/64" dev "$prefix-f" nodad
    fi
    ip -n "$H" link set "$prefix-h" up
    ip -n "$R" link set "$prefix-rh" up
    ip -n "$R" link set "$prefix-rf" up
    ip -n "$F" link set "$prefix-f" up
    ip netns exec "$R" sysctl -qw net.ipv4.ip_forward=1
    ip -n "$H" route add default via "$near4.1"
    ip -n "$F" route add default via "$far4.1"
    if [ -n "$near6" ]; then
        ip netns exec "$R" sysctl -qw net.ipv6.conf.all.forwarding=1
        ip -n "$H" -6 route add default via "$near6::1"
        ip -n "$F" -6 route add default via "$far6::1"
    fi
}
