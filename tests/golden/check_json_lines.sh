#!/usr/bin/env bash
# The README's fan-out: every line of each capture's JSON Lines report reads as one object in jq,
# and one nelo per capture side by side (xargs -P 2) merges to the objects of one -pipe run. The
# values are held by the golden JSON runs and, for every capture, by check_csv.sh.
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
  jq -c . "$work/$capture.json" >"$work/$capture.jq"
  [ "$(wc -l <"$work/$capture.jq")" = "$(wc -l <"$work/$capture.json")" ] ||
    { echo "jq reads another number of objects in $capture"; exit 1; }
done

printf '%s\n' "${captures[@]}" | xargs -P 2 -n 1 "$binary" -json -ifile 2>/dev/null >"$work/fan.json"
printf '%s\n' "${captures[@]}" | "$binary" -json -pipe 2>/dev/null >"$work/one.json"
# Sorted into files first, so that set -e stops on output jq cannot read.
for run in fan one; do jq -s -c 'sort_by(.file, .frame)' "$work/$run.json" >"$work/$run.sorted"; done
cmp -s "$work/fan.sorted" "$work/one.sorted" || { echo "the fanned-out objects differ from one run's"; exit 1; }
echo "jq reads every JSON line; the fan-out merges to one run's objects"
