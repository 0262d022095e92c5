#!/bin/sh
# Regenerates NAME.tshark next to each capture below: tshark's reading of every
# ICMP and ICMPv6 message, one line per message, tab-separated, in the order
#   frame.number frame.time_epoch ip.src ip.dst ipv6.src ipv6.dst ip.ttl ipv6.hlim
#   frame.len icmp.type icmp.code icmpv6.type icmpv6.code
# Fields that do not apply to a message are empty. occurrence=f keeps the outer
# header's values when an error message quotes an inner IP header.
# The .tshark files are committed, so the tests never need tshark itself.
set -eu

cd "$(dirname "$0")"

# Numeric, zone-free output and no personal preferences.
export LC_ALL=C TZ=UTC
WIRESHARK_CONFIG_DIR=$(mktemp -d)
export WIRESHARK_CONFIG_DIR
trap 'rm -rf "$WIRESHARK_CONFIG_DIR"' EXIT

for f in loopback.pcap loopback.pcapng loopback_nsec.pcap \
         cooked1.pcap cooked2.pcap two_interfaces.pcapng; do
    tshark -n -r "$f" -Y 'icmp or icmpv6' -T fields \
        -E occurrence=f -E separator=/t \
        -e frame.number -e frame.time_epoch \
        -e ip.src -e ip.dst -e ipv6.src -e ipv6.dst \
        -e ip.ttl -e ipv6.hlim -e frame.len \
        -e icmp.type -e icmp.code -e icmpv6.type -e icmpv6.code \
        >"$f.tshark.tmp" 2>"$f.tshark.err" || {
            cat "$f.tshark.err" >&2
            rm -f "$f.tshark.tmp" "$f.tshark.err"
            exit 1
        }
    # tshark warns when run as root; anything else on stderr is shown.
    grep -v '^Running as user' "$f.tshark.err" >&2 || true
    rm -f "$f.tshark.err"
    mv "$f.tshark.tmp" "$f.tshark"
    echo "$f.tshark: $(wc -l <"$f.tshark") messages"
done
