#!/usr/bin/env bash
# Checks the JSON Lines report against the padded report of the same captures: every line must
# parse as JSON (Python's json module and jq both) and say what the padded line shows. Then one
# nelo per capture side by side (xargs -P 2) must merge to the objects of one -pipe run.
# usage: check_json_lines.sh BINARY DATA_DIR    (exit 77 when jq is missing)
set -euo pipefail
binary=$1 data=$2
command -v jq >/dev/null 2>&1 || { echo "jq is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$data"
captures=(loopback.pcap loopback_nsec.pcap cooked1.pcap cooked2.pcap two_interfaces.pcapng)

for capture in "${captures[@]}"; do
  "$binary" -ifile "$capture" -json 2>/dev/null >"$work/$capture.json"
  "$binary" -ifile "$capture" >"$work/$capture.txt"
  jq -c . "$work/$capture.json" >"$work/$capture.jq"
  [ "$(wc -l <"$work/$capture.jq")" = "$(wc -l <"$work/$capture.json")" ] ||
    { echo "jq reads another number of objects in $capture"; exit 1; }
done

python3 - "$work" "${captures[@]}" <<'PY'
import json, re, sys

work, captures = sys.argv[1], sys.argv[2:]
failures = 0
for capture in captures:
    objects = [json.loads(line) for line in open(f"{work}/{capture}.json", encoding="utf-8")]
    rows = [line.rstrip("\n").split(" , ") for line in open(f"{work}/{capture}.txt")
            if re.match(r"^ *[0-9]+ , ", line)]
    if len(objects) != len(rows) or not rows:
        sys.exit(f"{capture}: {len(objects)} objects for {len(rows)} report lines")
    for o, r in zip(objects, rows):
        comment = r[10]
        high = comment.endswith(", payload has entropy high")
        message = comment[: -len(", payload has entropy high")] if high else comment[:-1]
        m = re.match(r"id: 0x([0-9a-f]{4}), (.*)", message)
        ident, message = (int(m.group(1), 16), m.group(2)) if m else (None, message)
        want = {
            "file": capture, "frame": int(r[0]),
            "time": f"{r[1]}T{r[2]}", "proto": r[3].strip(), "src": r[4].strip(),
            "dst": r[5].strip(), "ttl": int(r[6]), "wire_len": int(r[7]),
            "payload_len": int(r[8]), "payload_md5": r[9].strip(), "message": message,
            "entropy_high": high, "id": ident,
        }
        got = dict(o, time=o["time"][:23] if o["time"] else None, id=o.get("id"))
        for key, value in want.items():
            if got.get(key) != value:
                print(f"{capture} frame {o['frame']}: {key} is {got.get(key)!r}, report says {value!r}")
                failures += 1
        if ("id" in o) != ("seq" in o):
            print(f"{capture} frame {o['frame']}: id and seq come together")
            failures += 1
sys.exit(1 if failures else 0)
PY

printf '%s\n' "${captures[@]}" | xargs -P 2 -n 1 "$binary" -json -ifile 2>/dev/null >"$work/fan.json"
printf '%s\n' "${captures[@]}" | "$binary" -json -pipe 2>/dev/null >"$work/one.json"
# Sorted into files first, so that set -e stops on output jq cannot read.
for run in fan one; do jq -s -c 'sort_by(.file, .frame)' "$work/$run.json" >"$work/$run.sorted"; done
cmp -s "$work/fan.sorted" "$work/one.sorted" || { echo "the fanned-out objects differ from one run's"; exit 1; }
echo "JSON Lines agree with the padded report; the fan-out merges to one run's objects"
