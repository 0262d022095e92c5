#!/usr/bin/env bash
# Builds the libFuzzer binaries and runs every target (or only the TARGETs named) for SECONDS
# seconds each (default 60): fuzz/run.sh [SECONDS [TARGET...]].
# The corpus of each target persists in build/fuzz/corpus/<target>. An input that crashes,
# times out or runs out of memory is copied to fuzz/regressions/<target>/ (where the replay
# tests pick it up) and makes the script exit non-zero.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
seconds="${1:-60}"
shift $(($# > 0 ? 1 : 0))
only=("$@")  # target names to run; all when none are given
out="$root/build/fuzz"

bash "$here/build.sh" "$out" || { echo "fuzz build failed" >&2; exit 2; }

max_len() {
  case "$1" in
    fuzz_capture_walk|fuzz_pcapng_walk) echo 16384 ;;
    fuzz_differential) echo 4096 ;;
    fuzz_name_filters) echo 1024 ;;
    *) echo 512 ;;
  esac
}

# Capture seeds: each test capture behind a settings block choosing one output form, and
# once with every filter switched on.
capture_seeds() {
  local dir="$1" config_size=128 pcap form
  for pcap in "$root"/tests/data/*.pcap "$root"/tests/data/*.pcapng; do
    for form in 0 1 2 3 4; do
      { printf "\\x00\\x00\\x$(printf %02x $((form | 0x70)))"
        head -c $((config_size - 3)) /dev/zero
        cat "$pcap"; } >"$dir/seed-$(basename "$pcap" .pcap)-form$form"
    done
    { printf '\xff\x0f\x70'; head -c $((config_size - 3)) /dev/urandom; cat "$pcap"; } \
      >"$dir/seed-$(basename "$pcap" .pcap)-filters"
    # Wrapped by the target: gzip, gzip in two members, zstd, and gzip cut short.
    for wrap in 01 02 03 11; do
      { printf "\\x00\\x00\\x70\\x00\\x00\\x$wrap\\x00\\x08"
        head -c $((config_size - 8)) /dev/zero
        cat "$pcap"; } >"$dir/seed-$(basename "$pcap" .pcap)-wrap$wrap"
    done
  done
}

found=0
for fuzzer in "$out"/fuzz/fuzz_*; do
  [[ -x "$fuzzer" && "$fuzzer" != *_replay ]] || continue
  target="$(basename "$fuzzer")"
  [[ ${#only[@]} -eq 0 || " ${only[*]} " == *" $target "* ]] || continue
  corpus="$out/corpus/$target"
  artifacts="$out/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  [[ -d "$here/seeds/$target" ]] && cp -n "$here/seeds/$target"/* "$corpus"/ 2>/dev/null
  [[ "$target" == fuzz_capture_walk ]] && capture_seeds "$corpus"

  dict=()
  [[ -f "$here/${target#fuzz_}.dict" ]] && dict=(-dict="$here/${target#fuzz_}.dict")
  echo "== $target: ${seconds}s"
  "$fuzzer" "$corpus" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -max_len="$(max_len "$target")" \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    >"$out/$target.log" 2>&1
  status=$?
  tail -n 12 "$out/$target.log"

  regressions="$here/regressions/$target"
  for artifact in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* \
    "$artifacts"/leak-*; do
    [[ -f "$artifact" ]] || continue
    mkdir -p "$regressions"
    # Named after the kind of failure and the first sanitizer or check line describing it.
    kind="$(basename "$artifact" | cut -d- -f1)"
    what="$(grep -m1 -oE 'ERROR: [A-Za-z]+: [a-z-]+|runtime error: [a-z -]+|check failed' \
      "$out/$target.log" | tr -c 'A-Za-z0-9\n' '-' | tr -s '-' | head -c 48)"
    name="$kind-${what:-unknown}-$(sha1sum "$artifact" | head -c 8)"
    cp "$artifact" "$regressions/$name"
    echo "!! $target: $kind saved as fuzz/regressions/$target/$name" >&2
    rm -f "$artifact"
    found=1
  done
  if [[ $status -ne 0 && $found -eq 0 ]]; then
    echo "!! $target exited with status $status" >&2
    found=1
  fi
done
exit "$found"
