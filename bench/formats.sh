#!/usr/bin/env bash
# Times what the other containers, compression, standard input and JSON cost against the plain
# walk, on the generated mixed and flood captures, and prints a Markdown table of medians of
# alternating runs:
#   - mixed in pcapng against the same packets in classic pcap;
#   - mixed gzip'd against `zcat`, zstd'd against `zstd -dc` (the cost of the decompression alone);
#   - mixed from standard input against the same file by name;
#   - flood with -json against the padded report;
#   - with NELO_BASE=path, every classic walk, the flood's JSON and CSV, and the jumbo capture
#     when bench/run.sh has made it, against that other nelo binary too.
#
#   bench/formats.sh [--pairs N] [--data DIR]
#
# NELO=path uses that nelo binary instead of building the release preset. The derived files
# are made once next to the captures and reused.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
pairs=5
data="build/bench-data"
while [ $# -gt 0 ]; do
  case "$1" in
    --pairs) pairs=$2; shift 2 ;;
    --data) data=$2; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

missing=()
command -v editcap >/dev/null 2>&1 || missing+=(wireshark-common)
command -v zstd >/dev/null 2>&1 || missing+=(zstd)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ -z "${NELO:-}" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target nelo >&2
  NELO="$root/build/release/nelo"
fi
if [ ! -s "$data/mixed.pcap" ] || [ ! -s "$data/flood.pcap" ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench --target gen_captures >&2
  mkdir -p "$data"
  for w in mixed flood; do
    [ -s "$data/$w.pcap" ] || build/bench/bench/gen_captures "$data" "$w" >&2
  done
fi

# editcap writes in small pieces, and a file written so reads back from the page cache at half
# the speed of one written in large blocks; a plain copy evens that out, so that the two files
# differ in their format only.
mixed="$data/mixed.pcap"
if [ ! -s "$data/mixed.pcapng" ]; then
  editcap -F pcapng "$mixed" "$data/mixed.pcapng.tmp"
  cp "$data/mixed.pcapng.tmp" "$data/mixed.pcapng"
  rm "$data/mixed.pcapng.tmp"
fi
[ -s "$mixed.gz" ] || gzip -c "$mixed" >"$mixed.gz"
[ -s "$mixed.zst" ] || zstd -q -c "$mixed" >"$mixed.zst"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Median wall seconds of `pairs` runs of each of two commands, run in turn.
pair() {
  local label=$1 a=$2 b=$3 i t0 t1
  : >"$work/a"
  : >"$work/b"
  for ((i = 0; i < pairs; i++)); do
    t0=$(date +%s%N); bash -c "$a" >/dev/null 2>&1; t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000)) >>"$work/a"
    t0=$(date +%s%N); bash -c "$b" >/dev/null 2>&1; t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000)) >>"$work/b"
  done
  python3 - "$label" "$work/a" "$work/b" <<'PY'
import statistics, sys
label, a, b = sys.argv[1:4]
ma = statistics.median(int(x) for x in open(a)) / 1e6
mb = statistics.median(int(x) for x in open(b)) / 1e6
print(f"| {label} | {mb:.3f} | {ma:.3f} | {mb / ma:.2f}x |")
PY
}

for f in "$mixed" "$data/mixed.pcapng" "$mixed.gz" "$mixed.zst" "$data/flood.pcap"; do
  cat "$f" >/dev/null
done
echo "# nelo: containers, compression, standard input and JSON"
echo
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg); pairs per row: $pairs"
echo
echo "| what | nelo s | against s | ratio |"
echo "|---|---:|---:|---:|"
pair "mixed pcapng / mixed pcap" "$NELO -ifile $mixed -ofile /dev/null" \
  "$NELO -ifile $data/mixed.pcapng -ofile /dev/null"
pair "mixed.gz / zcat" "zcat $mixed.gz" "$NELO -ifile $mixed.gz -ofile /dev/null"
pair "mixed.zst / zstd -dc" "zstd -q -dc $mixed.zst" "$NELO -ifile $mixed.zst -ofile /dev/null"
pair "mixed from standard input / by name" "$NELO -ifile $mixed -ofile /dev/null" \
  "$NELO -ifile - -ofile /dev/null < $mixed"
pair "flood -json / padded report" "$NELO -ifile $data/flood.pcap -ofile /dev/null" \
  "$NELO -ifile $data/flood.pcap -json -ofile /dev/null"
if [ -n "${NELO_BASE:-}" ]; then
  for w in mixed flood; do
    pair "$w / the same walk by NELO_BASE" "$NELO_BASE -ifile $data/$w.pcap -ofile /dev/null" \
      "$NELO -ifile $data/$w.pcap -ofile /dev/null"
    pair "$w with dumps / NELO_BASE" \
      "$NELO_BASE -ifile $data/$w.pcap -dump_hdr -dump_payload -ofile /dev/null" \
      "$NELO -ifile $data/$w.pcap -dump_hdr -dump_payload -ofile /dev/null"
  done
  for form in -json -csv; do
    pair "flood $form / NELO_BASE" "$NELO_BASE -ifile $data/flood.pcap $form -ofile /dev/null" \
      "$NELO -ifile $data/flood.pcap $form -ofile /dev/null"
  done
  if [ -s "$data/jumbo.pcap" ]; then
    cat "$data/jumbo.pcap" >/dev/null
    pair "jumbo / NELO_BASE" "$NELO_BASE -ifile $data/jumbo.pcap -ofile /dev/null" \
      "$NELO -ifile $data/jumbo.pcap -ofile /dev/null"
  fi
fi
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
