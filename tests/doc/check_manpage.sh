#!/bin/sh
# Keeps doc/nelo.1 honest: the page must format without warnings and name every option of the
# usage text. What the tool prints for the command lines the page shows is held by the goldens.
#
# usage: check_manpage.sh NELO_BINARY SOURCE_DIR
# Exit status 77: the options were checked, but groff is missing so the page was not linted.
set -u
nelo_bin=$1
page=$2/doc/nelo.1
[ -x "$nelo_bin" ] && [ -f "$page" ] || { echo "FAIL: no binary or no man page" >&2; exit 2; }
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
scratch=$(mktemp -d) || exit 2
trap 'rm -rf "$scratch"' EXIT

groff_missing=0
if command -v groff >/dev/null 2>&1; then
  groff -t -ww -man -z "$page" >"$scratch/groff.txt" 2>&1
  [ -s "$scratch/groff.txt" ] && fail "groff reports warnings: $(cat "$scratch/groff.txt")"
else
  groff_missing=1
fi

"$nelo_bin" >/dev/null 2>"$scratch/usage.txt"
grep -o -E '(^|[[ ])-[a-z][a-z0-9_]*' "$scratch/usage.txt" | sed 's/^[[ ]//' | sort -u \
  >"$scratch/options.txt"
option_count=$(wc -l <"$scratch/options.txt")
# The usage text names about twenty options; far fewer means it was not read at all.
[ "$option_count" -lt 10 ] && fail "found only $option_count options in the usage text"
while IFS= read -r option; do
  # In roff source the option has an escaped hyphen and ends at a non-name character.
  grep -q -E "\\\\-${option#-}([^a-z0-9_]|\$)" "$page" || fail "option $option is not in the man page"
done <"$scratch/options.txt"

[ "$failures" -gt 0 ] && exit 1
echo "man page: $option_count usage options documented"
[ "$groff_missing" -eq 1 ] && exit 77
exit 0
