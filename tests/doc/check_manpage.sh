#!/bin/sh
# Keeps doc/nelo.1 honest: the page must format without warnings, name every option of the
# usage text, and its checked EXAMPLES must still be what the tool prints.
#
# usage: check_manpage.sh NELO_BINARY SOURCE_DIR
#
# An example is a block that follows a line consisting of the comment ".\" example": inside
# its .nf/.fi lines, the line that starts with "$ " is a shell command and the lines after it
# are its standard output, written with the few roff escapes that unescape() below knows.
# A line "[...]" stands for any number of output lines. The "Run time:" line of the run header
# is compared with its date, time and host masked, since those change with every run.
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
data_dir=$source_dir/tests/data

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

# The examples are written as typed by a user, so "nelo" has to be found on PATH.
mkdir "$scratch/bin"
nelo_abs=$(cd "$(dirname "$nelo_bin")" && pwd)/$(basename "$nelo_bin")
ln -s "$nelo_abs" "$scratch/bin/nelo"

# --- (a) formatting ---------------------------------------------------------------------
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

# --- (b) every option of the usage text is documented --------------------------------
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

# --- (c) the EXAMPLES still match the tool -----------------------------------------------
# Splits the page into examples/N.cmd and examples/N.out, with roff escapes undone.
mkdir "$scratch/examples"
awk -v dir="$scratch/examples" '
  function unescape(s,    out, c, n) {
    out = ""
    while ((n = index(s, "\\")) > 0) {
      out = out substr(s, 1, n - 1)
      c = substr(s, n + 1, 1)
      if (c == "-") { out = out "-"; s = substr(s, n + 2) }
      else if (c == "e") { out = out "\\"; s = substr(s, n + 2) }
      else if (c == "&") { s = substr(s, n + 2) }
      else if (substr(s, n + 1, 3) == "(aq") { out = out "\047"; s = substr(s, n + 4) }
      else if (substr(s, n + 1, 3) == "(ga") { out = out "`"; s = substr(s, n + 4) }
      else if (substr(s, n + 1, 3) == "(dq") { out = out "\""; s = substr(s, n + 4) }
      else {
        printf "line %d: escape \\%s is not allowed in an example\n", NR, c > "/dev/stderr"
        bad = 1
        s = substr(s, n + 2)
      }
    }
    return out s
  }
  $0 == ".\\\" example" { pending = 1; next }
  pending && $0 == ".nf" { pending = 0; inside = 1; count++; seen_cmd = 0; next }
  inside && $0 == ".fi" {
    inside = 0
    if (!seen_cmd) { printf "example %d has no \"$ \" command line\n", count > "/dev/stderr"; bad = 1 }
    close(dir "/" count ".out")
    next
  }
  inside && !seen_cmd {
    if (substr($0, 1, 2) != "$ ") {
      printf "line %d: example %d must start with a \"$ \" line\n", NR, count > "/dev/stderr"
      bad = 1
    }
    print unescape(substr($0, 3)) > (dir "/" count ".cmd")
    close(dir "/" count ".cmd")
    printf "" > (dir "/" count ".out")
    seen_cmd = 1
    next
  }
  inside { print unescape($0) > (dir "/" count ".out") }
  END {
    if (pending || inside) { print "an example block is not closed" > "/dev/stderr"; bad = 1 }
    print count + 0 > (dir "/count")
    exit bad
  }
' "$page" || fail "the example blocks of the man page are malformed"

# Matches expected lines against actual lines; "[...]" in the expected lines matches any run
# of lines (none included).
cat >"$scratch/match.awk" <<'EOF'
function matches(i, j,    k) {
  if (i > ne) return j > na
  if (e[i] == "[...]") {
    for (k = j; k <= na + 1; k++) if (matches(i + 1, k)) return 1
    return 0
  }
  if (j > na || e[i] != a[j]) return 0
  return matches(i + 1, j + 1)
}
FNR == NR { e[++ne] = $0; next }
{ a[++na] = $0 }
END { exit matches(1, 1) ? 0 : 1 }
EOF

mask() {
  sed 's/^\(Run time: \).*\(; Host: \).*$/\1<masked>\2<masked>/' "$1"
}

example_count=$(cat "$scratch/examples/count" 2>/dev/null || echo 0)
if [ "$example_count" -lt 1 ]; then
  fail "the man page has no checked examples"
fi
n=1
while [ "$n" -le "$example_count" ]; do
  cmd=$(cat "$scratch/examples/$n.cmd" 2>/dev/null) || { n=$((n + 1)); continue; }
  work=$scratch/run$n
  mkdir "$work"
  for f in "$data_dir"/*; do
    [ -f "$f" ] && cp "$f" "$work/"
  done
  (cd "$work" && PATH="$scratch/bin:$PATH" LC_ALL=C sh -c "$cmd") \
    >"$scratch/actual$n.raw" 2>"$scratch/stderr$n.txt"
  mask "$scratch/actual$n.raw" >"$scratch/actual$n.txt"
  mask "$scratch/examples/$n.out" >"$scratch/expected$n.txt"
  if ! awk -f "$scratch/match.awk" "$scratch/expected$n.txt" "$scratch/actual$n.txt"; then
    fail "example $n no longer matches: $cmd"
    echo "--- expected (from the man page)" >&2
    cat "$scratch/expected$n.txt" >&2
    echo "--- actual" >&2
    cat "$scratch/actual$n.txt" >&2
    if [ -s "$scratch/stderr$n.txt" ]; then
      echo "--- standard error" >&2
      cat "$scratch/stderr$n.txt" >&2
    fi
  fi
  n=$((n + 1))
done

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "man page: $option_count usage options documented, $example_count examples match"
if [ "$groff_missing" -eq 1 ]; then
  exit 77
fi
exit 0
