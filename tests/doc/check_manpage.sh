#!/bin/sh
# Keeps doc/nelo.1 honest: the page must format without warnings and name every option of the
# usage text. What the tool prints for the command lines the page shows is held by the golden
# tests.
#
# usage: check_manpage.sh NELO_BINARY SOURCE_DIR
#
# Exit status: 0 all checks passed; 1 a check failed; 2 bad arguments;
# 77 everything that could run passed, but groff is missing so the page was not linted.

set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 NELO_BINARY SOURCE_DIR" >&2
  exit 2
fi
nelo_bin=$1
source_dir=$2
page=$source_dir/doc/nelo.1

if [ ! -x "$nelo_bin" ]; then
  echo "FAIL: $nelo_bin is not an executable" >&2
  exit 2
fi
if [ ! -f "$page" ]; then
  echo "FAIL: no man page at $page" >&2
  exit 1
fi

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

scratch=$(mktemp -d) || exit 2
trap 'rm -rf "$scratch"' EXIT
trap 'exit 1' INT TERM

# Formatting.
groff_missing=0
if command -v groff >/dev/null 2>&1; then
  groff -ww -man -z "$page" >"$scratch/groff.txt" 2>&1
  if [ -s "$scratch/groff.txt" ]; then
    fail "groff reports warnings:"
    cat "$scratch/groff.txt" >&2
  fi
else
  groff_missing=1
  echo "note: groff not found, the page was not linted" >&2
fi
# mandoc is a second opinion where it is installed; its style notes are not failures.
if command -v mandoc >/dev/null 2>&1; then
  mandoc -Tlint -Wwarning "$page" >"$scratch/mandoc.txt" 2>&1
  if [ -s "$scratch/mandoc.txt" ]; then
    fail "mandoc reports problems:"
    cat "$scratch/mandoc.txt" >&2
  fi
fi

# Every option of the usage text is documented.
"$nelo_bin" >/dev/null 2>"$scratch/usage.txt"
grep -o -E '(^|[[ ])-[a-z][a-z0-9_]*' "$scratch/usage.txt" | sed 's/^[[ ]//' | sort -u \
  >"$scratch/options.txt"
option_count=$(wc -l <"$scratch/options.txt")
# The usage text names about twenty options; far fewer means it was not read at all.
if [ "$option_count" -lt 10 ]; then
  fail "found only $option_count options in the usage text of $nelo_bin"
fi
while IFS= read -r option; do
  name=${option#-}
  # In roff source the option appears with an escaped hyphen and ends at a non-name character.
  if ! grep -q -E "\\\\-${name}([^a-z0-9_]|\$)" "$page"; then
    fail "option $option of the usage text is not in the man page"
  fi
done <"$scratch/options.txt"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "man page: $option_count usage options documented"
if [ "$groff_missing" -eq 1 ]; then
  exit 77
fi
exit 0
