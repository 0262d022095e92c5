#!/usr/bin/env bash
# Runs nelo once and compares standard output, standard error and the exit status with the
# reviewed files in tests/golden/expected. Only the header lines that vary from run to run (the
# run time and host, the command line with the binary's path) are masked.
#
# usage: run_golden.sh BINARY DATA_DIR EXPECTED_DIR NAME STATUS MODE [ARGS...]
#   MODE is how standard output is attached: file, pipe or tty. EXPECTED_DIR/NAME.stdin, when
#   present, is fed to standard input. UPDATE_GOLDEN=1 rewrites the expected files instead.
set -u
binary=$1 data=$2 expected=$3 name=$4 want_status=$5 mode=$6
shift 6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stdin=/dev/null
[ -f "$expected/$name.stdin" ] && stdin="$expected/$name.stdin"

cd "$data" || exit 2
case $mode in
  file) "$binary" "$@" <"$stdin" >"$work/out" 2>"$work/err"; status=$? ;;
  pipe) { "$binary" "$@" <"$stdin" 2>"$work/err"; echo $? >"$work/status"; } | cat >"$work/out"
        status=$(cat "$work/status") ;;
  tty)  # script(1) gives the tool a terminal; its own line endings are undone.
        printf '%q ' "$binary" "$@" >"$work/cmd"
        script -qec "$(cat "$work/cmd") 2>$work/err; echo \$? >$work/status" /dev/null \
          <"$stdin" | tr -d '\r' >"$work/out"
        status=$(cat "$work/status") ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac

# With -json the run header goes to standard error, so it is masked there too; there the
# binary's path, which differs between build trees, is written as plain nelo.
mask() { sed -e 's/^Run time: .*/Run time: <masked>/' -e 's/^"Command line: .*"$/"Command line: <masked>"/'; }
mask <"$work/out" >"$work/out.masked"
mask <"$work/err" | sed -e "s|$binary|nelo|g" >"$work/err.masked"
if [ "${UPDATE_GOLDEN:-0}" = 1 ]; then
  cp "$work/out.masked" "$expected/$name.out"
  cp "$work/err.masked" "$expected/$name.err"
  echo "updated $name (status $status)"
  exit 0
fi
fail=0
for stream in out err; do
  if ! cmp -s "$work/$stream.masked" "$expected/$name.$stream"; then
    echo "standard $stream differs for $name ($mode):"
    diff "$expected/$name.$stream" "$work/$stream.masked" | head -n 40
    fail=1
  fi
done
[ "$status" = "$want_status" ] || { echo "exit status $status, expected $want_status for $name ($mode)"; fail=1; }
exit $fail
