#!/usr/bin/env bash
# Times nelo against tcpdump on the generated benchmark captures and prints a Markdown report:
# per workload, alternating runs of nelo and tcpdump (default report, then with dumps), with
# `cat` as the floor, then the microbenchmarks and MD5 throughput of nelo against OpenSSL.
#
#   bench/run.sh [--pairs N]
#                [--workloads "mixed flood jumbo walk sized vxlan gre6 frag summary sweep"]
#                [--data DIR]
#
# nelo runs with its default threads (one per core, at most 16); each capture is also walked with
# -threads 1. `walk` is a list of 40 captures of 30 MB cut from the mixed one, walked with -pipe
# with -threads 1 and -threads 2, and a list of 40 cut the same way from the flood, whose every
# packet is reported (about 50 MB of report a capture, more than a worker holds in memory, so the
# workers spill to $TMPDIR), walked with -threads 1, -threads 2 (to stay at most 0.65x of
# -threads 1) and -threads 0 (every core, the default); jumbo is also timed against
# md5sum over the same file. `sized` (not run by default) times -threads 1 and 2 on 200 MiB
# captures whose payloads all have 128, 512, 1024 or 4096 bytes. `vxlan` and `gre6` (not run by
# default) time nelo on the flood carried in VXLAN or in GRE over IPv6 against the plain flood.
# `frag` (not run by default) times nelo on large echoes cut into fragments against the same
# echoes whole, the ratio to stay at most 1.3x. `summary` (not run by default) times -summary
# against the default report over the flood (to stay at most 0.5x) and the mixed capture (at most
# 1.05x); `sweep` (not run by default) times both over one host pinging 65,536 addresses, a
# conversation per message (at most 1.5x), with their peak memory. `memory` (not run by default)
# runs the flood and jumbo captures once each in every form with -threads 1 and -threads 64 and
# prints their peak memory (to stay at most 16 MiB and 64 MiB). `reassembly` (not run by
# default) times 60 datagrams of 8,190 eight-byte fragments arriving in order, odd fragments
# first, last first and shuffled (every order to stay within 2x of in order), and gives the peak
# memory of 20,000 incomplete datagrams given up (to stay at most 96 MiB).
#
# Environment: NELO=path uses that nelo binary instead of building the release preset;
# BENCH_BUILD_DIR=dir uses gen_captures and nelo_microbench from there instead of building the
# bench preset. The captures are generated once and reused (delete them to regenerate).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

pairs=5
workloads="mixed flood jumbo walk"
data="build/bench-data"
while [ $# -gt 0 ]; do
  case "$1" in
    --pairs) pairs=$2; shift 2 ;;
    --workloads) workloads=$2; shift 2 ;;
    --data) data=$2; shift 2 ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
case "$pairs" in ''|*[!0-9]*) echo "--pairs needs a number" >&2; exit 2 ;; esac
[ "$pairs" -ge 1 ] || { echo "--pairs needs at least 1" >&2; exit 2; }
for w in $workloads; do
  case "$w" in
    mixed|flood|jumbo|walk|sized|vxlan|gre6|frag|summary|sweep|memory|reassembly) ;;
    *) echo "unknown workload: $w" >&2; exit 2 ;;
  esac
done

# --- tools ---------------------------------------------------------------------------------------
missing=()
command -v tcpdump >/dev/null 2>&1 || missing+=(tcpdump)
[ -x /usr/bin/time ] || missing+=(time)
command -v python3 >/dev/null 2>&1 || missing+=(python3)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
tcpdump_bin=$(command -v tcpdump)

# --- builds --------------------------------------------------------------------------------------
if [ -z "${NELO:-}" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target nelo >&2
  NELO="$root/build/release/nelo"
fi
if [ -z "${BENCH_BUILD_DIR:-}" ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench --target gen_captures nelo_microbench >&2
  BENCH_BUILD_DIR="$root/build/bench"
fi
gen="$BENCH_BUILD_DIR/bench/gen_captures"
micro="$BENCH_BUILD_DIR/bench/nelo_microbench"
for f in "$NELO" "$gen" "$micro"; do
  [ -x "$f" ] || { echo "missing binary: $f" >&2; exit 1; }
done

# --- captures ------------------------------------------------------------------------------------
mkdir -p "$data"
SIZES="128 512 1024 4096"
for w in $workloads; do
  case "$w" in
    walk) ;;
    sized) for n in $SIZES; do [ -s "$data/sized$n.pcap" ] || "$gen" "$data" sized "$n" >&2; done ;;
    vxlan|gre6)
      for c in flood "$w"; do [ -s "$data/$c.pcap" ] || "$gen" "$data" "$c" >&2; done ;;
    summary)
      for c in flood mixed; do [ -s "$data/$c.pcap" ] || "$gen" "$data" "$c" >&2; done ;;
    memory)
      for c in flood jumbo; do [ -s "$data/$c.pcap" ] || "$gen" "$data" "$c" >&2; done ;;
    reassembly)
      for c in order_in order_odd order_reversed order_shuffled giveup; do
        [ -s "$data/$c.pcap" ] || "$gen" "$data" "$c" >&2
      done ;;
    frag)
      for c in fragments unfragmented; do
        [ -s "$data/$c.pcap" ] || "$gen" "$data" "$c" >&2
      done ;;
    *) [ -s "$data/$w.pcap" ] || "$gen" "$data" "$w" >&2 ;;
  esac
done
# The walks' captures: consecutive records of the mixed capture and of the flood, 30 MB each,
# written in big blocks like the generated ones (files written in small pieces read back slower).
walk_dir="$data/walk"
walk_flood_dir="$data/walk_flood"
cut_walk() {
  local src=$1 dir=$2
  [ -s "$dir/list.txt" ] && return 0
  [ -s "$data/$src.pcap" ] || "$gen" "$data" "$src" >&2
  mkdir -p "$dir"
  python3 - "$data/$src.pcap" "$dir" <<'SPLIT'
import os, sys
src, out = sys.argv[1:3]
count, size = 40, 30_000_000
with open(src, "rb") as f:
    header = f.read(24)
    names = []
    for i in range(count):
        body = bytearray()
        while len(body) < size:
            h = f.read(16)
            if len(h) < 16:
                f.seek(24)
                continue
            incl = int.from_bytes(h[8:12], "little")
            body += h + f.read(incl)
        name = os.path.join(out, f"part{i:02d}.pcap")
        with open(name, "wb") as w:
            w.write(header + body)
        names.append(os.path.abspath(name))
with open(os.path.join(out, "list.txt"), "w") as l:
    l.write("\n".join(names) + "\n")
SPLIT
}
if [[ " $workloads " == *" walk "* ]]; then
  cut_walk mixed "$walk_dir"
  cut_walk flood "$walk_flood_dir"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
results="$work/results.tsv"
: >"$results"

# Runs one timed command with stdout to /dev/null; appends workload, label, wall seconds, CPU
# seconds (user + sys) and peak RSS in KiB to the results. A failing command stops the script.
timed() {
  local workload=$1 label=$2
  shift 2
  local t0 t1
  t0=$(date +%s%N)
  if ! TZ=UTC /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" >/dev/null 2>"$work/stderr"; then
    echo "failed: $*" >&2
    cat "$work/stderr" "$work/time" >&2
    exit 1
  fi
  t1=$(date +%s%N)
  local user sys rss
  read -r user sys rss < <(tail -n 1 "$work/time")
  printf '%s\t%s\t%s\t%s\t%s\n' "$workload" "$label" \
    "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')" "$rss" >>"$results"
}

echo "# nelo benchmark"
echo
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'),"\
  "kernel $(uname -r), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "tools: $("$NELO" -h 2>&1 | grep -m1 -oE 'nelo [0-9]+\.[0-9]+' || echo nelo)," \
  "$("$tcpdump_bin" --version 2>&1 | head -n 1), $(cat --version | head -n 1)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg); pairs per command: $pairs"
echo

counts="$work/counts"
: >"$counts"
for w in $workloads; do
  if [ "$w" = walk ]; then
    cat "$walk_dir"/part*.pcap >/dev/null
    for ((i = 0; i < pairs; i++)); do
      timed walk "nelo -pipe -threads 1" "$NELO" -pipe -threads 1 <"$walk_dir/list.txt"
      timed walk "nelo -pipe -threads 2" "$NELO" -pipe -threads 2 <"$walk_dir/list.txt"
      timed walk "cat" cat "$walk_dir"/part*.pcap
    done
    # Each flood cut writes more than a worker holds in memory, so the workers spill to $TMPDIR.
    cat "$walk_flood_dir"/part*.pcap >/dev/null
    for ((i = 0; i < pairs; i++)); do
      timed walk-flood "nelo -pipe -threads 1" "$NELO" -pipe -threads 1 <"$walk_flood_dir/list.txt"
      timed walk-flood "nelo -pipe -threads 2" "$NELO" -pipe -threads 2 <"$walk_flood_dir/list.txt"
      timed walk-flood "nelo -pipe -threads 0" "$NELO" -pipe -threads 0 <"$walk_flood_dir/list.txt"
      timed walk-flood "cat" cat "$walk_flood_dir"/part*.pcap
    done
    continue
  fi
  if [ "$w" = sized ]; then
    for n in $SIZES; do
      cat "$data/sized$n.pcap" >/dev/null
      for ((i = 0; i < pairs; i++)); do
        timed "sized$n" "nelo -threads 1" "$NELO" -ifile "$data/sized$n.pcap" -threads 1
        timed "sized$n" "nelo -threads 2" "$NELO" -ifile "$data/sized$n.pcap" -threads 2
      done
    done
    continue
  fi
  if [ "$w" = vxlan ] || [ "$w" = gre6 ]; then
    # What opening the tunnel costs: the same messages as the flood, timed beside it in the same
    # pairs so that both see the same machine. tcpdump gets no filter, as 'icmp or icmp6' tests
    # only the outer header; every frame holds one message, so it prints each of them anyway.
    file="$data/$w.pcap"
    cat "$file" "$data/flood.pcap" >/dev/null
    cat "$file" "$data/flood.pcap" >/dev/null
    n_nelo=$(TZ=UTC "$NELO" -ifile "$file" | grep -cE '^ *[0-9]+ , ' || true)
    n_tcpdump=$(TZ=UTC "$tcpdump_bin" -nn -r "$file" 2>/dev/null | grep -cE ' ICMP6?[ ,]' || true)
    printf '%s\t%s\t%s\t%s\n' "$w" "$(stat -c %s "$file")" "$n_nelo" "$n_tcpdump" >>"$counts"
    for ((i = 0; i < pairs; i++)); do
      timed "$w" "nelo on flood" "$NELO" -ifile "$data/flood.pcap"
      timed "$w" "nelo" "$NELO" -ifile "$file"
      timed "$w" "tcpdump" "$tcpdump_bin" -nn -r "$file"
    done
    continue
  fi
  if [ "$w" = frag ]; then
    # What putting datagrams back together costs: the same messages cut into fragments and whole,
    # timed in the same pairs. tcpdump gets no filter, as 'icmp6' tests only the first next header,
    # which in an IPv6 fragment names the fragment header; it decodes each fragment alone and names
    # the message at the first one, so its lines naming a message count datagrams in both files.
    file="$data/fragments.pcap"
    whole="$data/unfragmented.pcap"
    cat "$file" "$whole" >/dev/null
    cat "$file" "$whole" >/dev/null
    for c in "$file" "$whole"; do
      n_nelo=$(TZ=UTC "$NELO" -ifile "$c" | grep -cE '^ *[0-9]+ , ' || true)
      n_tcpdump=$(TZ=UTC "$tcpdump_bin" -nn -r "$c" 2>/dev/null | grep -cE ' ICMP6?[ ,]' || true)
      name=frag
      [ "$c" = "$whole" ] && name=unfragmented
      printf '%s\t%s\t%s\t%s\n' "$name" "$(stat -c %s "$c")" "$n_nelo" "$n_tcpdump" >>"$counts"
    done
    for ((i = 0; i < pairs; i++)); do
      timed frag "nelo on unfragmented" "$NELO" -ifile "$whole"
      timed frag "nelo" "$NELO" -ifile "$file"
      timed frag "tcpdump on unfragmented" "$tcpdump_bin" -nn -r "$whole"
      timed frag "tcpdump" "$tcpdump_bin" -nn -r "$file"
    done
    continue
  fi
  if [ "$w" = memory ]; then
    # Peak memory only: one run of each form at both ends of the thread counts.
    for c in flood jumbo; do
      file="$data/$c.pcap"
      for threads in 1 64; do
        timed "memory" "$c -threads $threads" "$NELO" -ifile "$file" -threads "$threads"
        timed "memory" "$c dumps -threads $threads" "$NELO" -ifile "$file" -threads "$threads" \
          -dump_hdr -dump_payload
        timed "memory" "$c strings -threads $threads" "$NELO" -ifile "$file" \
          -threads "$threads" -dump_payload -strings
        timed "memory" "$c json -threads $threads" "$NELO" -ifile "$file" -threads "$threads" \
          -json -dump_payload
        timed "memory" "$c summary -threads $threads" "$NELO" -ifile "$file" \
          -threads "$threads" -summary
      done
    done
    continue
  fi
  if [ "$w" = reassembly ]; then
    for ((i = 0; i < pairs; i++)); do
      for c in order_in order_odd order_reversed order_shuffled; do
        timed reassembly "$c" "$NELO" -ifile "$data/$c.pcap" -threads 1
      done
    done
    timed reassembly giveup "$NELO" -ifile "$data/giveup.pcap" -threads 1
    continue
  fi
  if [ "$w" = summary ] || [ "$w" = sweep ]; then
    # One row per conversation against a line per message, over the same capture in the same
    # pairs: the flood is one conversation per pinger, the sweep one per message.
    captures="flood mixed"
    [ "$w" = sweep ] && captures=sweep
    for c in $captures; do
      file="$data/$c.pcap"
      cat "$file" >/dev/null
      cat "$file" >/dev/null
      for ((i = 0; i < pairs; i++)); do
        timed "summary-$c" "nelo" "$NELO" -ifile "$file"
        timed "summary-$c" "nelo -summary" "$NELO" -ifile "$file" -summary
      done
    done
    continue
  fi
  file="$data/$w.pcap"
  # Warm the page cache so that every run reads from memory, the case where the tools differ.
  cat "$file" >/dev/null
  cat "$file" >/dev/null
  # Both tools must see the same packets, or the comparison means nothing.
  n_nelo=$(TZ=UTC "$NELO" -ifile "$file" | grep -cE '^ *[0-9]+ , ' || true)
  n_tcpdump=$(TZ=UTC "$tcpdump_bin" -nn -r "$file" 'icmp or icmp6' 2>/dev/null | wc -l)
  printf '%s\t%s\t%s\t%s\n' "$w" "$(stat -c %s "$file")" "$n_nelo" "$n_tcpdump" >>"$counts"
  for ((i = 0; i < pairs; i++)); do
    timed "$w" "nelo" "$NELO" -ifile "$file"
    timed "$w" "nelo -threads 1" "$NELO" -ifile "$file" -threads 1
    timed "$w" "tcpdump" "$tcpdump_bin" -nn -r "$file" 'icmp or icmp6'
    timed "$w" "nelo dump" "$NELO" -ifile "$file" -dump_hdr -dump_payload
    timed "$w" "tcpdump -X" "$tcpdump_bin" -nn -X -r "$file" 'icmp or icmp6'
    timed "$w" "cat" cat "$file"
    if [ "$w" = jumbo ]; then timed "$w" "md5sum" md5sum "$file"; fi
  done
done

python3 - "$results" "$counts" "$data" <<'EOF'
import statistics, struct, sys, collections

results, counts, data = sys.argv[1:4]
runs = collections.defaultdict(list)
for line in open(results):
    w, label, wall, cpu, rss = line.rstrip("\n").split("\t")
    runs[(w, label)].append((float(wall), float(cpu), int(rss)))
info = {}
for line in open(counts):
    w, size, n_nelo, n_tcpdump = line.split()
    info[w] = (int(size), int(n_nelo), int(n_tcpdump))

def largest_record(path):
    best = 0
    with open(path, "rb") as f:
        f.seek(24)
        while True:
            h = f.read(16)
            if len(h) < 16:
                return best
            incl = struct.unpack("<I", h[8:12])[0]
            best = max(best, incl + 16)
            f.seek(incl, 1)

def med(label, w, i):
    return statistics.median(r[i] for r in runs[(w, label)])

if info:
    print("| workload | command | wall median s | wall min-max s | CPU median s | nelo/tcpdump | "
          "nelo/cat | peak RSS MiB |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
rival = {"nelo": "tcpdump", "nelo -threads 1": "tcpdump", "nelo dump": "tcpdump -X"}
for w in info:
    for label in ["nelo on flood", "nelo on unfragmented", "nelo", "nelo -threads 1",
                  "tcpdump on unfragmented", "tcpdump", "nelo dump", "tcpdump -X", "cat", "md5sum"]:
        rs = runs[(w, label)]
        if not rs:
            continue
        walls = [r[0] for r in rs]
        m = statistics.median(walls)
        vs_rival = f"{m / med(rival[label], w, 0):.2f}x" if label in rival else ""
        has_cat = label.startswith("nelo") and runs[(w, "cat")]
        vs_cat = f"{m / med('cat', w, 0):.2f}x" if has_cat else ""
        rss = max(r[2] for r in rs) / 1024
        print(f"| {w} | {label} | {m:.3f} | {min(walls):.3f}-{max(walls):.3f} | "
              f"{med(label, w, 1):.2f} | {vs_rival} | {vs_cat} | {rss:.1f} |")
print()
if runs[("walk", "nelo -pipe -threads 1")]:
    print("| workload | command | wall median s | wall min-max s | CPU median s | peak RSS MiB |")
    print("|---|---|---:|---:|---:|---:|")
    for w in ("walk", "walk-flood"):
        for label in ["nelo -pipe -threads 1", "nelo -pipe -threads 2", "nelo -pipe -threads 0",
                      "cat"]:
            rs = runs[(w, label)]
            if not rs:
                continue
            walls = [r[0] for r in rs]
            print(f"| {w} | {label} | {statistics.median(walls):.3f} | {min(walls):.3f}-"
                  f"{max(walls):.3f} | {med(label, w, 1):.2f} | "
                  f"{max(r[2] for r in rs) / 1024:.1f} |")
    print()
    print("- walk of 40 captures of 30 MB: -threads 2 / one at a time "
          f"{med('nelo -pipe -threads 2', 'walk', 0) / med('nelo -pipe -threads 1', 'walk', 0):.2f}x")
    one = med("nelo -pipe -threads 1", "walk-flood", 0)
    print("- walk of 40 flood cuts of 30 MB: -threads 2 / one at a time "
          f"{med('nelo -pipe -threads 2', 'walk-flood', 0) / one:.2f}x (to stay at most 0.65x "
          f"on 2 cores), every core / one at a time "
          f"{med('nelo -pipe -threads 0', 'walk-flood', 0) / one:.2f}x")
if runs[("jumbo", "md5sum")]:
    print(f"- jumbo: nelo/md5sum {med('nelo', 'jumbo', 0) / med('md5sum', 'jumbo', 0):.2f}x, "
          "nelo -threads 1/md5sum "
          f"{med('nelo -threads 1', 'jumbo', 0) / med('md5sum', 'jumbo', 0):.2f}x")
for w in info:
    if runs[(w, "nelo -threads 1")]:
        print(f"- {w}: default threads / -threads 1 "
              f"{med('nelo', w, 0) / med('nelo -threads 1', w, 0):.2f}x")
sized = sorted((int(w[5:]), w) for (w, label) in runs
               if w.startswith("sized") and label == "nelo -threads 1")
if sized:
    print()
    print("| payload bytes | -threads 1 s | -threads 2 s | ratio | CPU 1 s | CPU 2 s |")
    print("|---:|---:|---:|---:|---:|---:|")
    for n, w in sized:
        one, two = med("nelo -threads 1", w, 0), med("nelo -threads 2", w, 0)
        print(f"| {n} | {one:.3f} | {two:.3f} | {two / one:.2f}x | "
              f"{med('nelo -threads 1', w, 1):.2f} | {med('nelo -threads 2', w, 1):.2f} |")
for w in ("vxlan", "gre6"):
    if runs[(w, "nelo on flood")]:
        print(f"- {w}: nelo({w})/nelo(flood) "
              f"{med('nelo', w, 0) / med('nelo on flood', w, 0):.2f}x in the same pairs; tcpdump "
              f"on {w} {med('tcpdump', w, 0):.3f} s")
if runs[("frag", "nelo on unfragmented")]:
    print("- frag: nelo(fragments)/nelo(unfragmented) "
          f"{med('nelo', 'frag', 0) / med('nelo on unfragmented', 'frag', 0):.2f}x in the same "
          "pairs (to stay at most 1.30x); tcpdump(fragments)/tcpdump(unfragmented) "
          f"{med('tcpdump', 'frag', 0) / med('tcpdump on unfragmented', 'frag', 0):.2f}x")
summaries = [w for (w, label) in list(runs) if w.startswith("summary-") and label == "nelo -summary"]
if summaries:
    print()
    print("| capture | report s | -summary s | -summary/report | report RSS MiB | -summary RSS MiB |")
    print("|---|---:|---:|---:|---:|---:|")
    for w in summaries:
        report, summary = med("nelo", w, 0), med("nelo -summary", w, 0)
        print(f"| {w[8:]} | {report:.3f} | {summary:.3f} | {summary / report:.2f}x | "
              f"{max(r[2] for r in runs[(w, 'nelo')]) / 1024:.1f} | "
              f"{max(r[2] for r in runs[(w, 'nelo -summary')]) / 1024:.1f} |")
memory = [label for (w, label) in list(runs) if w == "memory"]
if memory:
    print()
    print("| run | wall s | peak RSS MiB |")
    print("|---|---:|---:|")
    for label in memory:
        r = runs[("memory", label)][0]
        print(f"| {label} | {r[0]:.3f} | {r[2] / 1024:.1f} |")
if runs[("reassembly", "order_in")]:
    print()
    print("| fragments arriving | wall median s | CPU median s | / in order |")
    print("|---|---:|---:|---:|")
    for label in ("order_in", "order_odd", "order_reversed", "order_shuffled"):
        print(f"| {label[6:]} | {med(label, 'reassembly', 0):.3f} | "
              f"{med(label, 'reassembly', 1):.3f} | "
              f"{med(label, 'reassembly', 0) / med('order_in', 'reassembly', 0):.2f}x |")
    print(f"- 20,000 incomplete datagrams given up: peak RSS "
          f"{runs[('reassembly', 'giveup')][0][2] / 1024:.1f} MiB (to stay at most 96 MiB)")
if runs[("mixed", "cat")]:
    print(f"- mixed: nelo/cat {med('nelo', 'mixed', 0) / med('cat', 'mixed', 0):.2f}x")
for w, (size, n_nelo, n_tcpdump) in info.items():
    extra = ""
    if w == "jumbo":
        extra = f", largest record {largest_record(f'{data}/{w}.pcap')} bytes"
    agree = "agree" if n_nelo == n_tcpdump else "DISAGREE"
    print(f"- {w}: {size / 2**20:.0f} MiB, ICMP/ICMPv6 packets reported: nelo {n_nelo}, "
          f"tcpdump {n_tcpdump} ({agree}){extra}")
EOF
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

echo "## Microbenchmarks"
echo
echo '```'
"$micro" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$work/micro.json" --benchmark_out_format=json 2>&1 |
  grep -E '_median|^Benchmark|^---' || true
echo '```'
echo
python3 - "$work/micro.json" <<'EOF'
import json, sys
rate = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        rate[b["run_name"]] = b["bytes_per_second"]
for size in (56, 1400, 60000):
    ours, theirs = rate.get(f"BM_Md5Nelo/{size}"), rate.get(f"BM_Md5OpenSsl/{size}")
    if ours and theirs:
        print(f"- MD5 {size} bytes: nelo {ours / 2**20:.0f} MiB/s, OpenSSL {theirs / 2**20:.0f} "
              f"MiB/s, nelo at {100 * ours / theirs:.0f} % of OpenSSL")
EOF
