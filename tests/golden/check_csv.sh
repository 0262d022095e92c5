#!/usr/bin/env bash
# Checks -csv against -json over every capture in the data folder, in the default, dump and
# strings forms: Python's csv module must read the rows back, writing them again with RFC 4180's
# minimal quoting and CRLF must give the very bytes nelo wrote, the header must name JSON's keys
# in JSON's order, and each field must be the JSON value flattened by the rules of the man page.
# Then a folder whose capture names hold a comma, a quote and a line break is walked with one
# and two threads: the same bytes, and the names read back as they are.
# usage: check_csv.sh BINARY DATA_DIR
set -euo pipefail
binary=$1 data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$data"
ls -- *.pcap *.pcapng >"$work/list"
forms=("" "-dump_hdr -dump_payload" "-strings" "-strings -dump_payload")
for k in "${!forms[@]}"; do
  # shellcheck disable=SC2086  # the form is a list of words
  "$binary" -pipe -json ${forms[$k]} <"$work/list" 2>/dev/null >"$work/$k.json"
  # shellcheck disable=SC2086
  "$binary" -pipe -csv ${forms[$k]} <"$work/list" 2>/dev/null >"$work/$k.csv"
done

odd=$'odd, "quoted"\nname.pcap'
mkdir "$work/dir"
cp loopback.pcap "$work/dir/$odd"
cp windows_ping.pcap "$work/dir/plain.pcap"
"$binary" -enumdir "$work/dir" -csv -threads 1 -ofile "$work/dir1.csv" 2>/dev/null
"$binary" -enumdir "$work/dir" -csv -threads 2 -ofile "$work/dir2.csv" 2>/dev/null
cmp -s "$work/dir1.csv" "$work/dir2.csv" || { echo "-threads 2 wrote other bytes than one thread"; exit 1; }

python3 - "$work" "${#forms[@]}" "$work/dir/$odd" <<'PY'
import csv, io, json, sys

work, form_count, odd_name = sys.argv[1], int(sys.argv[2]), sys.argv[3]
BASE = ("file frame time proto src dst ttl wire_len payload_len payload_md5 type code id seq "
        "request_frame rtt message entropy entropy_high vlan tunnels mpls pppoe fragments "
        "fragment_overlap oversized incomplete link_type quoted quoted_type quoted_id quoted_seq mtu gateway "
        "pointer originate receive transmit mask target destination source_ll target_ll hop_limit "
        "flags preference router_lifetime group prefixes records damaged mpls_labels interfaces "
        "extension_damage ext_seq local by_name by_index by_address state active ipv4 ipv6").split()
PROTOCOLS = {1: "icmp", 6: "tcp", 17: "udp", 58: "icmpv6"}
failures = 0


def fail(text):
    global failures
    failures += 1
    if failures <= 20:
        print(text)


def read_rows(path):
    raw = open(path, "rb").read().decode("utf-8")
    rows = list(csv.reader(io.StringIO(raw, newline=""), strict=True))
    again = io.StringIO(newline="")
    csv.writer(again, lineterminator="\r\n").writerows(rows)
    if again.getvalue() != raw:
        fail(f"{path}: writing the rows again with minimal quoting gives other bytes")
    return rows


def end(address, port):
    text = f"[{address}]" if ":" in address else address
    return text if port is None else f"{text}:{port}"


def text(value):
    return ("true" if value else "false") if isinstance(value, bool) else str(value)


def flat(key, o):
    """JSON's value of `key` as the CSV shows it."""
    value = o.get(key)
    if key == "tunnels":
        return " / ".join(f"{t['type']} {t['src']}>{t['dst']}" for t in value or [])
    if key == "quoted":
        if value is None:
            return ""
        name = PROTOCOLS.get(value["proto"], str(value["proto"]))
        return (f"{name} {end(value['src'], value.get('sport'))}>"
                f"{end(value['dst'], value.get('dport'))}")
    if key.startswith("quoted_"):
        return str((o.get("quoted") or {}).get(key[len("quoted_"):], ""))
    if key == "strings":
        return "\n".join(value)
    if isinstance(value, list) and value and isinstance(value[0], dict):
        return ";".join(" ".join(f"{k}={text(v)}" for k, v in item.items()) for item in value)
    if isinstance(value, list):
        return " ".join(str(v) for v in value)
    if isinstance(value, bool) or key in ("fragment_overlap", "oversized", "incomplete"):
        return "true" if value else "false"
    return "" if value is None else str(value)


for k in range(form_count):
    # Numbers are kept as JSON wrote them, so "0.000018000" is compared as text.
    objects = [json.loads(line, parse_float=str) for line in open(f"{work}/{k}.json")]
    rows = read_rows(f"{work}/{k}.csv")
    header, rows = rows[0], rows[1:]
    seen = {key for o in objects for key in o}
    extra = [key for key in ("header_hex", "payload_hex", "strings") if key in seen]
    if header != BASE + extra:
        fail(f"form {k}: header {header}")
    if len(rows) != len(objects) or not rows:
        sys.exit(f"form {k}: {len(rows)} rows for {len(objects)} objects")
    for row, o in zip(rows, objects):
        unknown = set(o) - set(header)
        if unknown:
            fail(f"form {k}: {o['file']} frame {o['frame']}: no column for {sorted(unknown)}")
        for key, field in zip(header, row):
            if field != flat(key, o):
                fail(f"form {k}: {o['file']} frame {o['frame']}: {key} is {field!r}, "
                     f"JSON says {flat(key, o)!r}")

rows = read_rows(f"{work}/dir1.csv")
names = [row[0] for row in rows[1:]]
if odd_name not in names or not any(n.endswith("/plain.pcap") for n in names):
    fail(f"capture names read back as {sorted(set(names))}")
sys.exit(1 if failures else 0)
PY
echo "CSV reads back as the JSON of the same runs; names with commas, quotes and line breaks survive"
