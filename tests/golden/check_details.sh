#!/usr/bin/env bash
# Checks what -json says of each message beyond its name against tshark's reading of the same
# captures (details.pcap.tshark, path_mtu.pcap.tshark and neighbors.pcap.tshark, made by
# make_tshark_refs.sh, whose field order is repeated below):
# every key nelo writes must hold tshark's value, and every value tshark reads for one of those
# keys must be written.
# usage: check_details.sh BINARY DATA_DIR
set -euo pipefail
binary=$1 data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$data"
captures=(details.pcap path_mtu.pcap neighbors.pcap)
for capture in "${captures[@]}"; do
  "$binary" -ifile "$capture" -json 2>/dev/null >"$work/$capture.json"
done
python3 - "$work" "${captures[@]}" <<'PY'
import ipaddress, json, sys

FIELDS = """frame.number icmp.type icmp.code icmpv6.type icmpv6.code
  icmp.mtu icmp.redir_gw icmp.pointer icmp.originate_timestamp icmp.receive_timestamp
  icmp.transmit_timestamp icmp.address_mask icmp.ident icmp.seq icmp.mpls.label
  icmp.int_info.ifindex icmp.int_info.ipv4 icmp.int_ident.name icmp.int_ident.index
  icmp.ext.echo.seq icmp.ext.echo.req.local icmp.ext.echo.rsp.state icmp.ext.echo.rsp.active
  icmp.ext.echo.rsp.ipv4 icmp.ext.echo.rsp.ipv6
  icmpv6.mtu icmpv6.pointer icmpv6.nd.ns.target_address icmpv6.nd.na.target_address
  icmpv6.nd.na.flag icmpv6.nd.rd.target_address icmpv6.rd.na.destination_address
  icmpv6.opt.linkaddr icmpv6.nd.ra.cur_hop_limit icmpv6.nd.ra.flag
  icmpv6.nd.ra.router_lifetime icmpv6.opt.mtu icmpv6.opt.prefix icmpv6.opt.prefix.length
  icmpv6.opt.prefix.flag icmpv6.opt.prefix.valid_lifetime icmpv6.opt.prefix.preferred_lifetime
  icmpv6.mld.multicast_address icmpv6.mldr.mar.record_type icmpv6.mldr.mar.multicast_address
  icmpv6.ext.echo.seq icmpv6.ext.echo.req.local icmpv6.ext.echo.rsp.state
  icmpv6.ext.echo.rsp.active icmpv6.ext.echo.rsp.ipv4 icmpv6.ext.echo.rsp.ipv6
  icmpv6.opt.src_linkaddr icmpv6.opt.target_linkaddr icmpv6.mldr.mar.nb_sources""".split()
# nelo's key and the tshark fields that read the same thing; the message's own value is the first
# occurrence (a quoted header's come after it).
KEYS = {
    "mtu": ("icmp.mtu", "icmpv6.mtu", "icmpv6.opt.mtu"),
    "gateway": ("icmp.redir_gw",),
    "pointer": ("icmp.pointer", "icmpv6.pointer"),
    "originate": ("icmp.originate_timestamp",),
    "receive": ("icmp.receive_timestamp",),
    "transmit": ("icmp.transmit_timestamp",),
    "mask": ("icmp.address_mask",),
    "target": ("icmpv6.nd.ns.target_address", "icmpv6.nd.na.target_address",
               "icmpv6.nd.rd.target_address"),
    "destination": ("icmpv6.rd.na.destination_address",),
    "source_ll": ("icmpv6.opt.src_linkaddr",),
    "target_ll": ("icmpv6.opt.target_linkaddr",),
    "hop_limit": ("icmpv6.nd.ra.cur_hop_limit",),
    "router_lifetime": ("icmpv6.nd.ra.router_lifetime",),
    "group": ("icmpv6.mld.multicast_address",),
}
ROUTER_FLAGS = {"M": 0x80, "O": 0x40, "H": 0x20, "P": 0x04}
PREFERENCES = {"medium": 0, "high": 0x08, "reserved": 0x10, "low": 0x18}
PREFIX_FLAGS = {"L": 0x80, "A": 0x40, "R": 0x20}


def plain(value):
    """A value as both sides can be compared: addresses in one form, everything else as text."""
    try:
        return str(ipaddress.ip_address(value)) if isinstance(value, str) else str(value)
    except ValueError:
        return value


def bits(letters, table):
    return sum(table[c] for c in letters)


def items(row, *fields):
    """tshark's occurrences of `fields` taken together, one tuple each."""
    columns = [row[f].split(",") if row[f] else [] for f in fields]
    return [tuple(plain(v) for v in t) for t in zip(*columns)] or None


# Keys read from several of tshark's fields: nelo's value and tshark's, or None when absent.
def composite(o, row):
    yield ("flags",
           None if "flags" not in o else
           bits(o["flags"], ROUTER_FLAGS) | PREFERENCES[o["preference"]],
           int(row["icmpv6.nd.ra.flag"], 16) & 0xFC if row["icmpv6.nd.ra.flag"] else None)
    yield ("prefixes",
           [(plain(p["prefix"].split("/")[0]), p["prefix"].split("/")[1],
             bits(p["flags"], PREFIX_FLAGS), str(p["valid"]), str(p["preferred"]))
            for p in o["prefixes"]] if "prefixes" in o else None,
           [(a, n, int(f, 16) & 0xE0, v, p) for a, n, f, v, p in
            items(row, "icmpv6.opt.prefix", "icmpv6.opt.prefix.length", "icmpv6.opt.prefix.flag",
                  "icmpv6.opt.prefix.valid_lifetime", "icmpv6.opt.prefix.preferred_lifetime")
            or []] or None)
    yield ("records",
           [(str(r["type"]), plain(r["group"]), str(r["sources"])) for r in o["records"]]
           if "records" in o else None,
           items(row, "icmpv6.mldr.mar.record_type", "icmpv6.mldr.mar.multicast_address",
                 "icmpv6.mldr.mar.nb_sources"))


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
        pairs = [(key, plain(o[key]) if key in o else None,
                  next((plain(row[f].split(",")[0]) for f in fields if row.get(f)), None))
                 for key, fields in KEYS.items()]
        for key, ours, theirs in pairs + list(composite(o, row)):
            if ours != theirs:
                failures += 1
                print(f"{capture} frame {o['frame']} {key}: nelo {ours}, tshark {theirs}")
    if seen != len(tshark):
        failures += 1
        print(f"{capture}: nelo wrote {seen} messages, tshark read {len(tshark)}")
sys.exit(1 if failures else 0)
PY
