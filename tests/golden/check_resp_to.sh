#!/usr/bin/env bash
# Checks nelo's reply pairing against tshark's reading of the same captures: for every
# NAME.resp_to in the data folder (made by make_tshark_refs.sh), the replies that -json gives a
# request_frame must be those tshark gives an icmp.resp_to or icmpv6.resp_to, with the same
# request frame and the same time to the nanosecond (tshark's resptime is in milliseconds).
# icmp_tunnels.pcap has no reference: tshark also asks a reply to echo its request's data, which
# that capture's tunnel replies do not, so it pairs fewer of them than nelo does, and three with
# a later request whose data they happen to carry.
# usage: check_resp_to.sh BINARY DATA_DIR
set -euo pipefail
binary=$1 data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$data"
references=(*.resp_to)
for reference in "${references[@]}"; do
  "$binary" -ifile "${reference%.resp_to}" -json 2>/dev/null >"$work/$reference.json"
done

python3 - "$work" "${references[@]}" <<'PY'
import json, sys
from decimal import Decimal

work, references = sys.argv[1], sys.argv[2:]
if len(references) < 8:
    sys.exit(f"only {len(references)} tshark references: {references}")
failures = 0
for reference in references:
    tshark = {}
    for line in open(reference):
        frame, request, ms = line.rstrip("\n").split("\t")
        tshark[int(frame)] = (int(request), int(Decimal(ms) * 1_000_000))
    nelo = {}
    for line in open(f"{work}/{reference}.json"):
        o = json.loads(line, parse_float=Decimal)
        if "request_frame" in o:
            nelo[o["frame"]] = (o["request_frame"], int(o["rtt"] * 1_000_000_000))
    if not tshark:
        print(f"{reference}: tshark pairs no reply")
        failures += 1
    for frame in sorted(set(tshark) | set(nelo)):
        if tshark.get(frame) != nelo.get(frame):
            print(f"{reference} frame {frame}: nelo pairs {nelo.get(frame)}, tshark {tshark.get(frame)}"
                  " (request frame, nanoseconds)")
            failures += 1
sys.exit(1 if failures else 0)
PY
echo "nelo pairs the replies tshark pairs, with the same requests and times"
