#!/usr/bin/env bash
# Checks what -json says of each message beyond its name, and of the ICMP message an error
# quotes, against tshark's reading of the same captures (NAME.tshark, made by
# make_tshark_refs.sh, whose field order is repeated below): every key nelo writes must hold
# tshark's value, and every value tshark reads for one of those keys must be written. A list is
# held to every occurrence tshark reads, in order; where nelo says an extension structure is
# damaged, its lists need only be the start of tshark's, which reads on.
# usage: check_details.sh BINARY DATA_DIR
set -euo pipefail
binary=$1 data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$data"
captures=(details.pcap path_mtu.pcap neighbors.pcap traceroute.pcap extensions.pcap tracepath.pcap)
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
  icmp.mpls.exp icmp.mpls.s icmp.mpls.ttl icmp.int_info.role icmp.int_info.index
  icmp.int_info.ipv6 icmp.int_info.name icmp.int_info.mtu icmp.int_ident.ipv4
  icmp.int_ident.ipv6 icmpv6.opt.src_linkaddr icmpv6.opt.target_linkaddr
  icmpv6.mldr.mar.nb_sources""".split()
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


def quoted_fields(o, row):
    """The quoted message's type, id and seq as tshark reads them: the second type of the frame
    (the first is the message's own), and the last identifier and sequence number when it has
    one (tshark reads ICMPv6 echo fields apart, which the captures leave out)."""
    family = o["proto"]
    types = row[f"{family}.type"].split(",")
    # An ICMPv6 redirect's redirected header is an option, not a quoted datagram nelo shows.
    if len(types) < 2 or (family == "icmpv6" and types[0] == "137"):
        return {}
    theirs = {"type": types[1]}
    if family == "icmp" and row["icmp.ident"]:
        theirs["id"] = row["icmp.ident"].split(",")[-1]
        theirs["seq"] = row["icmp.seq"].split(",")[-1]
    return theirs


BITS = {True: "1", False: "0"}
ROLES = {"incoming": "0", "incoming_sub_ip": "1", "outgoing": "2", "next_hop": "3"}


def flag(key):
    return lambda o: [BITS[o[key]]] if key in o else []


def interfaces(part, family=None):
    def values(o):
        found = [i for i in o.get("interfaces", []) if part in i]
        if family:
            found = [i for i in found if (":" in i[part]) == (family == 6)]
        return [ROLES.get(i[part], str(i[part])) for i in found]
    return values


def named(o):
    # tshark 4.0 reads no name sub-object that ends its object: only names an MTU follows.
    return [i["name"] for i in o.get("interfaces", []) if "name" in i and "mtu" in i]


def scalar(key, family=None):
    def values(o):
        if key not in o or (family and (":" in str(o[key])) != (family == 6)):
            return []
        return [str(o[key])]
    return values


# The lists behind the extensions and extended echo: what nelo writes, and the fields of either
# protocol that tshark reads it into.
LISTS = [
    (lambda o: [str(e["label"]) for e in o.get("mpls_labels", [])], ("icmp.mpls.label",)),
    (lambda o: [str(e["tc"]) for e in o.get("mpls_labels", [])], ("icmp.mpls.exp",)),
    (lambda o: [BITS[e["bottom"]] for e in o.get("mpls_labels", [])], ("icmp.mpls.s",)),
    (lambda o: [str(e["ttl"]) for e in o.get("mpls_labels", [])], ("icmp.mpls.ttl",)),
    (interfaces("role"), ("icmp.int_info.role",)),
    (interfaces("ifindex"), ("icmp.int_info.index",)),
    (interfaces("address", 4), ("icmp.int_info.ipv4",)),
    (interfaces("address", 6), ("icmp.int_info.ipv6",)),
    (named, ("icmp.int_info.name",)),
    (interfaces("mtu"), ("icmp.int_info.mtu",)),
    (scalar("ext_seq"), ("icmp.ext.echo.seq", "icmpv6.ext.echo.seq")),
    (flag("local"), ("icmp.ext.echo.req.local", "icmpv6.ext.echo.req.local")),
    (scalar("by_name"), ("icmp.int_ident.name",)),
    (scalar("by_index"), ("icmp.int_ident.index",)),
    (scalar("by_address", 4), ("icmp.int_ident.ipv4",)),
    (scalar("by_address", 6), ("icmp.int_ident.ipv6",)),
    (scalar("state"), ("icmp.ext.echo.rsp.state", "icmpv6.ext.echo.rsp.state")),
    (flag("active"), ("icmp.ext.echo.rsp.active", "icmpv6.ext.echo.rsp.active")),
    (flag("ipv4"), ("icmp.ext.echo.rsp.ipv4", "icmpv6.ext.echo.rsp.ipv4")),
    (flag("ipv6"), ("icmp.ext.echo.rsp.ipv6", "icmpv6.ext.echo.rsp.ipv6")),
]
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
        theirs = quoted_fields(o, row)
        ours = {k: str(v) for k, v in o.get("quoted", {}).items() if k in ("type", "id", "seq")}
        if o["proto"] == "icmpv6":
            ours.pop("id", None)
            ours.pop("seq", None)
        if ours != theirs:
            failures += 1
            print(f"{capture} frame {o['frame']} quoted: nelo {ours}, tshark {theirs}")
        for ours_of, fields in LISTS:
            ours = ours_of(o)
            theirs = next((row[f].split(",") for f in fields if row.get(f)), [])
            if ours != theirs and not ("extension_damage" in o and ours == theirs[:len(ours)]):
                failures += 1
                print(f"{capture} frame {o['frame']} {fields[0]}: nelo {ours}, tshark {theirs}")
    if seen != len(tshark):
        failures += 1
        print(f"{capture}: nelo wrote {seen} messages, tshark read {len(tshark)}")
sys.exit(1 if failures else 0)
PY
