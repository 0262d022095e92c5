#!/usr/bin/env python3
"""Mutation testing for nelo's product code.

Finds small, plausible faults in app/, capture/, report/, packet/ and support/ (an operator
swapped, a literal off by one, a `!` dropped, a returned boolean flipped, a call deleted), plants
them one at a time, rebuilds incrementally and runs the test suite. A mutant the tests fail on
is killed; one they pass with has survived and points at behaviour nothing checks.

    python3 tools/mutation.py --list
    python3 tools/mutation.py --sample 150 --seed 1 [--json results.json]
    python3 tools/mutation.py --only 12,40
    python3 tools/mutation.py --self-test

Needs only Python 3, git, cmake and ctest. The build directory of the preset must already be
configured (`cmake --preset release`).
"""

import argparse
import bisect
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT_DIRS = ("app", "capture", "report", "packet", "support")

# --- Finding sites ---------------------------------------------------------------------------


@dataclass
class Site:
    id: int
    file: str
    line: int
    col: int
    kind: str
    offset: int
    before: str
    after: str


PP_NUMBER_CHAR = re.compile(r"[0-9A-Za-z_.]|'(?=[0-9A-Za-z])|(?<=[eEpP])[+-]")


def blank_out(text):
    """Returns `text` with comments, string and char literal contents, preprocessor lines,
    static_assert declarations and template lines replaced by spaces. Offsets and newlines are
    kept, so a match in the result is a match at the same place in the source."""
    out = list(text)
    n = len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    i = 0
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#":
            j = i
            while j < n and (text[j] != "\n" or text[j - 1] == "\\"):
                j += 1
            blank(i, j)
            i = j
            continue
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c not in " \t":
            line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i + 1, j)
            i = j + 1
        elif c.isdigit() and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            # A whole number, so that the quote in 250'000'000 is not taken for a char literal.
            j = i + 1
            while j < n and PP_NUMBER_CHAR.match(text, j):
                j += 1
            i = j
        else:
            i += 1
    blanked = "".join(out)
    # Template parameter lists and static assertions hold angle brackets and constants that are
    # not run-time behaviour.
    for m in re.finditer(r"^[ \t]*template\b[^\n]*", blanked, re.M):
        blank(m.start(), m.end())
    for m in re.finditer(r"\bstatic_assert\b[^;]*;", blanked):
        blank(m.start(), m.end())
    return "".join(out)


def code_brace_offsets(blanked):
    """Returns the (open, close) offsets of the brace blocks that are function bodies or lie
    inside one: only there is a line like `name(args);` a call rather than a declaration."""
    stack = []
    ranges = []
    for m in re.finditer(r"[{}]", blanked):
        if m.group() == "}":
            if stack:
                start, is_code = stack.pop()
                if is_code:
                    ranges.append((start, m.start()))
            continue
        head = blanked[: m.start()].rstrip()
        word = re.search(r"(\w+)$", head)
        is_code = bool(stack and stack[-1][1]) and not head.endswith("=")
        if head.endswith((")", "]")) or (word and word.group(1) in ("const", "override", "noexcept",
                                                              "final", "mutable", "else", "do",
                                                              "try")):
            is_code = True
        stack.append((m.start(), is_code))
    return ranges


def in_ranges(ranges, offset):
    return any(a <= offset < b for a, b in ranges)


SPACED = r"(?<=[ \t])({})(?=[ \t\n])"
OPERATOR_SWAPS = [
    ("relational", SPACED.format(r"<=|>=|<|>"), {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}),
    ("equality", SPACED.format(r"==|!="), {"==": "!=", "!=": "=="}),
    ("arithmetic", SPACED.format(r"\+=|-=|\+|-|\*|/"),
     {"+": "-", "-": "+", "*": "/", "/": "*", "+=": "-=", "-=": "+="}),
    ("logical", SPACED.format(r"&&|\|\|"), {"&&": "||", "||": "&&"}),
]
NOT_CALLS = {"if", "for", "while", "switch", "return", "sizeof", "alignof", "decltype", "assert",
             "catch", "delete", "throw", "case", "do", "else", "static_assert", "new"}
CALL_START = re.compile(
    r"^[ \t]*((?:::)?[A-Za-z_]\w*(?:(?:::|\.|->)[A-Za-z_]\w*)*(?:<[^;(){}\n]*>)?)\(", re.M)


def literal_value(token):
    """Returns (value, base, suffix) for an integer literal, or None for anything else."""
    t = token.replace("'", "")
    m = re.fullmatch(r"(0[xX][0-9a-fA-F]+|0[bB][01]+|[0-9]+)([uUlLzZ]*)", t)
    if not m:
        return None
    digits, suffix = m.groups()
    if digits[:2] in ("0x", "0X"):
        return int(digits, 16), 16, suffix
    if digits[:2] in ("0b", "0B"):
        return int(digits, 2), 2, suffix
    if len(digits) > 1 and digits[0] == "0":
        return int(digits, 8), 8, suffix
    return int(digits), 10, suffix


def format_literal(value, base, suffix):
    if value < 0:
        return "-" + format_literal(-value, base, suffix)
    body = {16: "0x{:x}", 2: "0b{:b}", 8: "0{:o}", 10: "{}"}[base].format(value)
    return body + suffix


def find_sites_in_text(path, text):
    """Lists the mutation sites of one source file, without ids."""
    blanked = blank_out(text)
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    sites = []

    def add(kind, offset, before, after):
        line = bisect.bisect_right(line_starts, offset)
        col = offset - line_starts[line - 1] + 1
        sites.append(Site(0, path, line, col, kind, offset, before, after))

    for kind, pattern, swaps in OPERATOR_SWAPS:
        for m in re.finditer(pattern, blanked):
            add(kind, m.start(1), m.group(1), swaps[m.group(1)])
    for m in re.finditer(r"(?<![\w)\]!])!([A-Za-z_]\w*|[(:*])", blanked):
        add("negation", m.start(), m.group(), m.group(1))
    # The bounds of a declared array: one more is unused room, one fewer fails to compile.
    bounds = [(m.start(1), m.end(1)) for m in re.finditer(
        r"\b(?!return\b|case\b|delete\b|else\b|throw\b)[A-Za-z_][\w:]*[*&]? +[A-Za-z_]\w*"
        r"((?:\[\w*\])+)", blanked)]
    for m in re.finditer(r"(?<![\w.'])[0-9][0-9A-Za-z_.']*", blanked):
        parsed = literal_value(m.group())
        if parsed is None or in_ranges(bounds, m.start()):
            continue
        value, base, suffix = parsed
        for delta in (1, -1):
            add("literal", m.start(), m.group(), format_literal(value + delta, base, suffix))
    for m in re.finditer(r"\breturn[ \t]+(true|false)[ \t]*;", blanked):
        flipped = "false" if m.group(1) == "true" else "true"
        add("return", m.start(1), m.group(1), flipped)

    ranges = code_brace_offsets(blanked)
    for m in CALL_START.finditer(blanked):
        first = re.match(r"(?:::)?(\w+)", m.group(1)).group(1)
        if first in NOT_CALLS or not in_ranges(ranges, m.start(1)):
            continue
        # Only whole statements: what comes before must end one, and the call must be all of it.
        prev = blanked[: m.start(1)].rstrip()
        if prev and prev[-1] not in ";{}:)" and not prev.endswith("else"):
            continue
        depth, j = 0, m.end() - 1
        while j < len(blanked):
            depth += {"(": 1, ")": -1}.get(blanked[j], 0)
            if depth == 0:
                break
            j += 1
        end = re.match(r"\)[ \t]*;", blanked[j:])
        if end:
            add("call", m.start(1), text[m.start(1) : j + end.end()], "{}")
    return sites


def find_sites(root):
    sites = []
    for d in PRODUCT_DIRS:
        for dirpath, _, names in os.walk(os.path.join(root, d)):
            for name in names:
                if name.endswith((".cpp", ".h")):
                    full = os.path.join(dirpath, name)
                    rel = os.path.relpath(full, root).replace(os.sep, "/")
                    with open(full, "rb") as f:
                        text = f.read().decode("utf-8", "surrogateescape")
                    sites.extend(find_sites_in_text(rel, text))
    sites.sort(key=lambda s: (s.file, s.line, s.col, s.kind, s.after))
    for k, s in enumerate(sites, 1):
        s.id = k
    return sites


def short(s, width=40):
    s = " ".join(s.split())
    return s if len(s) <= width else s[: width - 3] + "..."


# --- Running mutants -------------------------------------------------------------------------


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    # A second Ctrl-C must not cut short the restoring of the source.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Interrupted()


def run(cmd, timeout):
    """Runs `cmd` in its own process group; returns (exit code or None on timeout, output)."""
    proc = subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        stop(proc)
        return None, ""
    except BaseException:
        stop(proc)
        raise


def stop(proc):
    # A clean stop first lets ninja delete half-written outputs.
    for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, 30)):
        try:
            os.killpg(proc.pid, sig)
            proc.communicate(timeout=wait)
            return
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass


def build(args):
    return run(["cmake", "--build", "--preset", args.preset], args.build_timeout)


def test(args, suite_timeout):
    return run(["ctest", "--preset", args.preset, "-j", str(args.jobs), "--timeout",
                str(args.timeout), "--stop-on-failure"], suite_timeout)


def product_changes():
    out = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no", "--",
                          *PRODUCT_DIRS], cwd=ROOT, capture_output=True, text=True, check=True)
    return out.stdout.strip()


def run_mutant(site, args, suite_timeout):
    path = os.path.join(ROOT, site.file)
    with open(path, "rb") as f:
        original = f.read()
    text = original.decode("utf-8", "surrogateescape")
    end = site.offset + len(site.before)
    if text[site.offset : end] != site.before:
        raise SystemExit(f"{site.file} changed since its sites were listed")
    mutated = text[: site.offset] + site.after + text[end:]
    try:
        with open(path, "wb") as f:
            f.write(mutated.encode("utf-8", "surrogateescape"))
        code, out = build(args)
        if code is None:
            return "not compiled", "build timed out"
        if code != 0:
            # A test binary that dies while gtest lists its tests fails the build, but that is a
            # failing test, not a mutant the compiler rejected.
            if "Error running test executable" in out:
                return "killed", "test listing failed"
            error = re.search(r"error: (.*)", out)
            return "not compiled", short(error.group(1), 60) if error else ""
        code, out = test(args, suite_timeout)
        if code is None:
            return "killed", "suite timed out"
        if code == 0:
            return "survived", ""
        failed = re.search(r"tests FAILED:\s*\d+ - (\S+)", out)
        return "killed", failed.group(1) if failed else ""
    finally:
        # The next build sees the restored file as newer than its object and compiles it back.
        with open(path, "wb") as f:
            f.write(original)


def main():
    p = argparse.ArgumentParser(description="Mutation testing for nelo's product code.")
    p.add_argument("--list", action="store_true", help="list every site with its id and stop")
    p.add_argument("--sample", type=int, metavar="N", help="run N sites chosen at random")
    p.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    p.add_argument("--only", metavar="ID,...", help="run these site ids")
    p.add_argument("--kind", metavar="KIND,...", help="consider only these kinds of site")
    p.add_argument("--preset", default="release", help="CMake preset (default release)")
    p.add_argument("--jobs", type=int, default=2, help="ctest -j (default 2)")
    p.add_argument("--timeout", type=int, default=60, help="seconds per test (default 60)")
    p.add_argument("--build-timeout", type=int, default=900, help="seconds per build")
    p.add_argument("--json", metavar="FILE", help="also write the results to FILE")
    p.add_argument("--allow-dirty", action="store_true",
                   help="run even with uncommitted changes in the product code")
    p.add_argument("--self-test", action="store_true", help="check the site finder and stop")
    args = p.parse_args()

    if args.self_test:
        return self_test()
    sites = find_sites(ROOT)
    if args.kind:
        kinds = set(args.kind.split(","))
        sites = [s for s in sites if s.kind in kinds]
    if args.list:
        for s in sites:
            print(f"{s.id:5} {s.file}:{s.line}:{s.col} {s.kind} {short(s.before)} -> {s.after}")
        counts = {}
        for s in sites:
            counts[s.kind] = counts.get(s.kind, 0) + 1
        print(f"{len(sites)} sites: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
        return 0

    if args.only:
        wanted = {int(x) for x in args.only.split(",")}
        chosen = [s for s in sites if s.id in wanted]
        if len(chosen) != len(wanted):
            p.error("unknown site id in --only; see --list")
    elif args.sample:
        rng = random.Random(args.seed)
        chosen = sorted(rng.sample(sites, min(args.sample, len(sites))), key=lambda s: s.id)
    else:
        p.error("give --sample N, --only IDS or --list")

    if not args.allow_dirty and product_changes():
        print("product code has uncommitted changes; commit or stash them, or pass --allow-dirty",
              file=sys.stderr)
        return 2

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    results = []
    try:
        print(f"baseline: building and testing the {args.preset} preset unchanged", flush=True)
        started = time.monotonic()
        code, out = build(args)
        if code != 0:
            print(out + "\nthe unchanged tree does not build; configure the preset first",
                  file=sys.stderr)
            return 2
        code, out = test(args, None)
        if code != 0:
            print(out + "\nthe unchanged tree fails its tests", file=sys.stderr)
            return 2
        baseline = time.monotonic() - started
        suite_timeout = max(120, 4 * baseline)
        print(f"baseline passed in {baseline:.0f}s; {len(chosen)} of {len(sites)} sites",
              flush=True)
        for s in chosen:
            t0 = time.monotonic()
            result, note = run_mutant(s, args, suite_timeout)
            secs = time.monotonic() - t0
            results.append(dict(asdict(s), result=result, note=note, seconds=round(secs, 1)))
            print(f"{s.id:5} {s.file}:{s.line} {s.kind} {short(s.before)} -> {s.after}  "
                  f"{result}{' (' + note + ')' if note else ''}  {secs:.1f}s", flush=True)
        stopped = False
        # The last mutant's object is still in the build directory until this.
        rebuilt = build(args)[0] == 0
    except Interrupted:
        stopped, rebuilt = True, False
        print("stopped early; the source is restored", file=sys.stderr)
    if not rebuilt:
        print(f"rebuild with `cmake --build --preset {args.preset}` before using the build",
              file=sys.stderr)

    tally = {k: sum(r["result"] == k for r in results)
             for k in ("killed", "survived", "not compiled")}
    judged = tally["killed"] + tally["survived"]
    score = 100.0 * tally["killed"] / judged if judged else 0.0
    print(f"killed {tally['killed']}, survived {tally['survived']}, "
          f"not compiled {tally['not compiled']}; score {score:.1f}%")
    if args.json:
        head = subprocess.run(["git", "rev-parse", "HEAD"], cwd=ROOT, capture_output=True,
                              text=True).stdout.strip()
        with open(args.json, "w") as f:
            json.dump({"commit": head, "preset": args.preset, "seed": args.seed,
                       "sites": len(sites), "summary": dict(tally, score=round(score, 1)),
                       "results": results}, f, indent=1)
    return 130 if stopped else 0


# --- Self-test of the site finder ------------------------------------------------------------

SELF_TEST = r"""#include <vector>
// a < b in a comment, return true; here too
template <typename T>
struct holder {
  holder(int a);
};
static_assert(sizeof(int) >= 4);
constexpr uint64_t N = 250'000'000;
bool f(const std::vector<int>& v, int a, int b) {
  const char* s = "a < b && !c";
  char q = '!';
  if (!v.empty() && a < b) log(a - b, 0x10);
  step<round_fn::f, 7>(a, b);
  int x(a);
  uint32_t w[16];
  return true;
}
"""
EXPECTED = {
    ("literal", "250'000'000", "250000001"), ("literal", "250'000'000", "249999999"),
    ("negation", "!v", "v"), ("logical", "&&", "||"), ("relational", "<", "<="),
    ("arithmetic", "-", "+"), ("literal", "0x10", "0x11"), ("literal", "0x10", "0xf"),
    ("literal", "7", "8"), ("literal", "7", "6"), ("return", "true", "false"),
    ("call", "step<round_fn::f, 7>(a, b);", "{}"),
}


def self_test():
    found = {(s.kind, s.before, s.after) for s in find_sites_in_text("t.cpp", SELF_TEST)}
    missing, extra = EXPECTED - found, found - EXPECTED
    for label, items in (("missing", missing), ("unexpected", extra)):
        for item in sorted(items):
            print(f"{label}: {item}")
    print("self-test " + ("failed" if missing or extra else "passed"))
    return 1 if missing or extra else 0


if __name__ == "__main__":
    sys.exit(main())
