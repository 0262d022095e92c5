#!/usr/bin/env bash
# Checks what -json says of each message beyond its name, and of the ICMP message an error
# quotes, against tshark's reading of the same captures (details.pcap.tshark,
# path_mtu.pcap.tshark and traceroute.pcap.tshark, made by make_tshark_refs.sh, whose field order
# is repeated below): every key nelo writes must hold tshark's value, and every value tshark reads
# for one of those keys must be written.
# usage: check_details.sh BINARY DATA_DIR
set -euo pipefail
binary=$1 data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$data"
captures=(details.pcap path_mtu.pcap traceroute.pcap)
for capture in "${captures[@]}"; do
  "$binary" -ifile "$capture" -json 2>/dev/null >"$work/$capture.json"
done
python3 - "$work" "${captures[@]}" <<'PY'
import json, sys

FIELDS = """frame.number icmp.type icmp.code icmpv6.type icmpv6.code
  icmp.mtu icmp.redir_gw icmp.pointer icmp.originate_timestamp icmp.receive_timestamp
  icmp.transmit_timestamp icmp.address_mask icmp.ident icmp.seq icmp.mpls.label
  icmp.int_info.ifindex icmp.int_info.ipv4 icmp.int_ident.name icmp.int_ident.index
  icmp.ext.echo.seq icmp.ext.echo.req.local icmp.ext.echo.rsp.state icmp.ext.echo.rsp.active
  icmp.ext.echo.rsp.ipv4 icmp.ext.echo.rsp.ipv6
  icmpv6.mtu icmpv6.pointer icmpv6.nd.ns.target_address icmpv6.nd.na.target_address
  icmpv6.nd.na.flag icmpv6.nd.rd.target_address icmpv6.rd.na.destination_address""".split()
# nelo's key and the tshark fields that read the same thing.
KEYS = {
    "mtu": ("icmp.mtu", "icmpv6.mtu"),
    "gateway": ("icmp.redir_gw",),
    "pointer": ("icmp.pointer", "icmpv6.pointer"),
    "originate": ("icmp.originate_timestamp",),
    "receive": ("icmp.receive_timestamp",),
    "transmit": ("icmp.transmit_timestamp",),
    "mask": ("icmp.address_mask",),
    "target": ("icmpv6.nd.ns.target_address", "icmpv6.nd.na.target_address",
               "icmpv6.nd.rd.target_address"),
    "destination": ("icmpv6.rd.na.destination_address",),
}


def quoted_fields(o, row):
    """The quoted message's type, id and seq as tshark reads them: the second type of the frame
    (the first is the message's own), and the last identifier and sequence number when it has
    one (tshark reads ICMPv6 echo fields apart, which the captures leave out)."""
    family = o["proto"]
    types = row[f"{family}.type"].split(",")
    if len(types) < 2:
        return {}
    theirs = {"type": types[1]}
    if family == "icmp" and row["icmp.ident"]:
        theirs["id"] = row["icmp.ident"].split(",")[-1]
        theirs["seq"] = row["icmp.seq"].split(",")[-1]
    return theirs

failures = 0
for capture in sys.argv[2:]:
    tshark = {}
    for line in open(capture + ".tshark"):
        row = dict(zip(FIELDS, line.rstrip("\n").split("\t")))
        tshark[int(row["frame.number"])] = row
    seen = 0
    for line in open(f"{sys.argv[1]}/{capture}.json"):
        if not line.startswith("{"):  # the banner
            continue
        o = json.loads(line)
        row = tshark.get(o["frame"])
        if row is None:
            failures += 1
            print(f"{capture} frame {o['frame']}: tshark has no message")
            continue
        seen += 1
        for key, fields in KEYS.items():
            theirs = [row[f] for f in fields if row.get(f)]
            ours = str(o[key]) if key in o else None
            if (ours is None) != (not theirs) or (ours is not None and ours != theirs[0]):
                failures += 1
                print(f"{capture} frame {o['frame']} {key}: nelo {ours}, tshark {theirs}")
        theirs = quoted_fields(o, row)
        ours = {k: str(v) for k, v in o.get("quoted", {}).items() if k in ("type", "id", "seq")}
        if o["proto"] == "icmpv6":
            ours.pop("id", None)
            ours.pop("seq", None)
        if ours != theirs:
            failures += 1
            print(f"{capture} frame {o['frame']} quoted: nelo {ours}, tshark {theirs}")
    if seen != len(tshark):
        failures += 1
        print(f"{capture}: nelo wrote {seen} messages, tshark read {len(tshark)}")
sys.exit(1 if failures else 0)
PY
