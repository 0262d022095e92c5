#!/bin/sh
# Regenerates NAME.tshark next to each capture below: tshark's reading of every
# ICMP and ICMPv6 message, one line per message, tab-separated, in the order
#   frame.number frame.time_epoch ip.src ip.dst ipv6.src ipv6.dst ip.ttl ipv6.hlim
#   frame.len icmp.type icmp.code icmpv6.type icmpv6.code
# Fields that do not apply to a message are empty. occurrence=f keeps the outer
# header's values when an error message quotes an inner IP header.
# In a tunnel capture the header that matters is the innermost one carrying the
# message, which neither the first nor the last occurrence names: see carrier below.
# For the captures of fragmented datagrams it also writes NAME.reassembled, and for those of
# echo exchanges NAME.resp_to: see the last two steps.
# The .tshark, .reassembled and .resp_to files are committed, so the tests never need tshark itself.
set -eu

cd "$(dirname "$0")"

# Numeric, zone-free output and no personal preferences.
export LC_ALL=C TZ=UTC
WIRESHARK_CONFIG_DIR=$(mktemp -d)
export WIRESHARK_CONFIG_DIR
trap 'rm -rf "$WIRESHARK_CONFIG_DIR"' EXIT

# Runs tshark on the ICMP and ICMPv6 messages of capture $2 with the rest of the arguments as its
# options, into file $1; stops the script when tshark fails.
messages_into() {
    out=$1
    f=$2
    shift 2
    tshark -n -r "$f" -Y 'icmp or icmpv6' "$@" >"$out" 2>"$out.err" || {
            cat "$out.err" >&2
            rm -f "$out" "$out.err"
            exit 1
        }
    # tshark warns when run as root; anything else on stderr is shown.
    grep -v '^Running as user' "$out.err" >&2 || true
    rm -f "$out.err"
}

# Runs tshark on capture $1 with the rest as its field options, into $1.tshark.tmp.
fields() {
    f=$1
    shift
    messages_into "$f.tshark.tmp" "$f" -T fields -E separator=/t "$@"
}

done_with() {
    mv "$1.tshark.tmp" "$1.tshark"
    echo "$1.tshark: $(wc -l <"$1.tshark") messages"
}

for f in loopback.pcap loopback.pcapng loopback_nsec.pcap \
         cooked1.pcap cooked2.pcap two_interfaces.pcapng fragments.pcap \
         icmp_tunnels.pcap pings.pcap windows_ping.pcap labelled/*.cap; do
    fields "$f" -E occurrence=f \
        -e frame.number -e frame.time_epoch \
        -e ip.src -e ip.dst -e ipv6.src -e ipv6.dst \
        -e ip.ttl -e ipv6.hlim -e frame.len \
        -e icmp.type -e icmp.code -e icmpv6.type -e icmpv6.code
    done_with "$f"
done

# Tunnel captures: every occurrence of the address fields, outermost header first,
# and the frame's layer list. The carrier is the last ip or ipv6 layer before the
# first icmp or icmpv6 one; counting the ip (or ipv6) layers up to it picks its
# occurrence, so a quoted header (after the message) or an outer header of the
# other family (6in4) is never taken. Its family's columns are filled, the other's
# left empty; type and code are the first occurrence, the message's own.
carrier() {
    awk -F '\t' -v OFS='\t' '
        function nth(list, k,    part) { split(list, part, ","); return part[k] }
        {
            n = split($3, layer, ":"); v4 = v6 = 0; family = ""
            for (k = 1; k <= n && layer[k] != "icmp" && layer[k] != "icmpv6"; k++)
                if (layer[k] == "ip") { v4++; family = 4 }
                else if (layer[k] == "ipv6") { v6++; family = 6 }
            if (family == 4)
                print $1, $2, nth($4, v4), nth($5, v4), "", "", nth($8, v4), "", $10,
                      nth($11, 1), nth($12, 1), nth($13, 1), nth($14, 1)
            else
                print $1, $2, "", "", nth($6, v6), nth($7, v6), "", nth($9, v6), $10,
                      nth($11, 1), nth($12, 1), nth($13, 1), nth($14, 1)
        }'
}

# adversarial.pcap's label 1000 carries an Ethernet pseudowire behind its control word, which
# tshark is told, as it does not guess it.
for f in vxlan.pcap tunnels.pcap fragment_attacks.pcap adversarial.pcap; do
    decode_as=
    [ "$f" = adversarial.pcap ] && decode_as=mpls.label==1000,pwethcw
    fields "$f" ${decode_as:+-d "$decode_as"} -E occurrence=a -E aggregator=, \
        -e frame.number -e frame.time_epoch -e frame.protocols \
        -e ip.src -e ip.dst -e ipv6.src -e ipv6.dst \
        -e ip.ttl -e ipv6.hlim -e frame.len \
        -e icmp.type -e icmp.code -e icmpv6.type -e icmpv6.code
    carrier <"$f.tshark.tmp" >"$f.tshark.cut"
    mv "$f.tshark.cut" "$f.tshark.tmp"
    done_with "$f"
done

# details.pcap, path_mtu.pcap, neighbors.pcap, traceroute.pcap, extensions.pcap and tracepath.pcap: what each message says beyond its name, one column per field in this order
# (all occurrences, comma-separated; a quoted header's come after the message's own):
#   frame.number icmp.type icmp.code icmpv6.type icmpv6.code
#   icmp.mtu icmp.redir_gw icmp.pointer icmp.originate_timestamp icmp.receive_timestamp
#   icmp.transmit_timestamp icmp.address_mask icmp.ident icmp.seq icmp.mpls.label
#   icmp.int_info.ifindex icmp.int_info.ipv4 icmp.int_ident.name icmp.int_ident.index
#   icmp.ext.echo.seq icmp.ext.echo.req.local icmp.ext.echo.rsp.state icmp.ext.echo.rsp.active
#   icmp.ext.echo.rsp.ipv4 icmp.ext.echo.rsp.ipv6
#   icmpv6.mtu icmpv6.pointer icmpv6.nd.ns.target_address icmpv6.nd.na.target_address
#   icmpv6.nd.na.flag icmpv6.nd.rd.target_address icmpv6.rd.na.destination_address
#   icmpv6.opt.linkaddr icmpv6.nd.ra.cur_hop_limit icmpv6.nd.ra.flag
#   icmpv6.nd.ra.router_lifetime icmpv6.opt.mtu icmpv6.opt.prefix icmpv6.opt.prefix.length
#   icmpv6.opt.prefix.flag icmpv6.opt.prefix.valid_lifetime icmpv6.opt.prefix.preferred_lifetime
#   icmpv6.mld.multicast_address icmpv6.mldr.mar.record_type icmpv6.mldr.mar.multicast_address
#   icmpv6.ext.echo.seq icmpv6.ext.echo.req.local icmpv6.ext.echo.rsp.state
#   icmpv6.ext.echo.rsp.active icmpv6.ext.echo.rsp.ipv4 icmpv6.ext.echo.rsp.ipv6
#   icmp.mpls.exp icmp.mpls.s icmp.mpls.ttl icmp.int_info.role icmp.int_info.index
#   icmp.int_info.ipv6 icmp.int_info.name icmp.int_info.mtu icmp.int_ident.ipv4 icmp.int_ident.ipv6
#   icmpv6.opt.src_linkaddr icmpv6.opt.target_linkaddr icmpv6.mldr.mar.nb_sources
# (tshark reads the extension objects of ICMPv6 messages into the icmp fields too).
for f in details.pcap path_mtu.pcap neighbors.pcap traceroute.pcap extensions.pcap tracepath.pcap; do
    fields "$f" -E occurrence=a -E aggregator=, -e frame.number \
    -e icmp.type -e icmp.code -e icmpv6.type -e icmpv6.code \
    -e icmp.mtu -e icmp.redir_gw -e icmp.pointer -e icmp.originate_timestamp \
    -e icmp.receive_timestamp -e icmp.transmit_timestamp -e icmp.address_mask \
    -e icmp.ident -e icmp.seq -e icmp.mpls.label -e icmp.int_info.ifindex -e icmp.int_info.ipv4 \
    -e icmp.int_ident.name -e icmp.int_ident.index \
    -e icmp.ext.echo.seq -e icmp.ext.echo.req.local -e icmp.ext.echo.rsp.state \
    -e icmp.ext.echo.rsp.active -e icmp.ext.echo.rsp.ipv4 -e icmp.ext.echo.rsp.ipv6 \
    -e icmpv6.mtu -e icmpv6.pointer -e icmpv6.nd.ns.target_address -e icmpv6.nd.na.target_address \
    -e icmpv6.nd.na.flag -e icmpv6.nd.rd.target_address -e icmpv6.rd.na.destination_address \
    -e icmpv6.opt.linkaddr -e icmpv6.nd.ra.cur_hop_limit -e icmpv6.nd.ra.flag \
    -e icmpv6.nd.ra.router_lifetime -e icmpv6.opt.mtu -e icmpv6.opt.prefix \
    -e icmpv6.opt.prefix.length -e icmpv6.opt.prefix.flag -e icmpv6.opt.prefix.valid_lifetime \
    -e icmpv6.opt.prefix.preferred_lifetime -e icmpv6.mld.multicast_address \
    -e icmpv6.mldr.mar.record_type -e icmpv6.mldr.mar.multicast_address \
    -e icmpv6.ext.echo.seq -e icmpv6.ext.echo.req.local -e icmpv6.ext.echo.rsp.state \
    -e icmpv6.ext.echo.rsp.active -e icmpv6.ext.echo.rsp.ipv4 -e icmpv6.ext.echo.rsp.ipv6 \
    -e icmp.mpls.exp -e icmp.mpls.s -e icmp.mpls.ttl -e icmp.int_info.role -e icmp.int_info.index \
    -e icmp.int_info.ipv6 -e icmp.int_info.name -e icmp.int_info.mtu -e icmp.int_ident.ipv4 \
    -e icmp.int_ident.ipv6 -e icmpv6.opt.src_linkaddr -e icmpv6.opt.target_linkaddr \
    -e icmpv6.mldr.mar.nb_sources
done_with "$f"
done

# NAME.reassembled, for the captures of fragmented datagrams: one tab-separated line per ICMP or
# ICMPv6 message tshark finds, whole or put together from fragments, in the order
#   frame.number payload-length payload-md5
# The frame is the one tshark shows the message at: for a fragmented datagram, the fragment that
# completes it. The payload is every byte behind the 8-byte ICMP header, taken from the raw bytes
# of the first icmp or icmpv6 layer, which for a fragmented datagram are those of the reassembled
# buffer. data.data would not do: in an ICMP echo tshark reads the payload's first 8 bytes as a
# time stamp and leaves them out of the data.
for f in fragments.pcap fragment_attacks.pcap; do
    messages_into "$f.json.tmp" "$f" -T json -x -j 'frame icmp icmpv6'
    python3 - "$f.json.tmp" >"$f.reassembled.tmp" <<'PY'
import hashlib, json, sys

# tshark repeats a key for every occurrence of a layer; the first is the message's own.
def first(pairs):
    out = {}
    for key, value in pairs:
        out.setdefault(key, value)
    return out

for packet in json.load(open(sys.argv[1]), object_pairs_hook=first):
    layers = packet["_source"]["layers"]
    raw = layers.get("icmp_raw") or layers.get("icmpv6_raw")
    payload = bytes.fromhex(raw[0])[8:]
    print(layers["frame"]["frame.number"], len(payload), hashlib.md5(payload).hexdigest(),
          sep="\t")
PY
    rm -f "$f.json.tmp"
    mv "$f.reassembled.tmp" "$f.reassembled"
    echo "$f.reassembled: $(wc -l <"$f.reassembled") messages"
done

# NAME.resp_to, for the captures with echo exchanges: one tab-separated line per reply that tshark
# pairs with its request, in the order
#   frame.number resp_to resptime
# the request's frame number and the time since it in milliseconds, as tshark writes them (of
# icmp or icmpv6, whichever the message is). tshark asks a reply to carry its request's data as
# well, so icmp_tunnels.pcap, whose replies carry data of their own, is left out: there it pairs
# fewer replies than nelo, and some with another request, by design.
for f in loopback.pcap pings.pcap windows_ping.pcap fragments.pcap vxlan.pcap cooked1.pcap \
         two_interfaces.pcapng nanosecond.pcap; do
    messages_into "$f.resp_to.tmp" "$f" -T fields -E separator=/t -E occurrence=f \
        -e frame.number -e icmp.resp_to -e icmp.resptime -e icmpv6.resp_to -e icmpv6.resptime
    awk -F '\t' -v OFS='\t' '$2 != "" { print $1, $2, $3 } $4 != "" { print $1, $4, $5 }' \
        "$f.resp_to.tmp" >"$f.resp_to"
    rm -f "$f.resp_to.tmp"
    echo "$f.resp_to: $(wc -l <"$f.resp_to") replies"
done
