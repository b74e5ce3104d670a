#!/bin/bash
# Two builds' packing and unpacking speed on the same files, in one run.
#
#   bench/ab.sh [--method N] [--rounds R] [--repeat K] BUILD_A BUILD_B [file ...]
#
# BUILD_A and BUILD_B are build directories (build/release, or the same
# preset in another checkout or worktree). Each round runs A's and then B's
# bench/tarn_bench over the files, each file packed and unpacked K times in
# the process (default 5), pinned to one processor the caller may use. Every
# file's fastest pack and unpack over all rounds are compared: B's speed as
# a multiple of A's, so x1.05 means B takes a twenty-first less time; the
# total row is the fastest round's total. On a machine shared with other
# work such minimums move by a few per cent where medians of whole runs move
# by ten, given files of a few hundred kilobytes or more (on a few
# kilobytes the times are mostly the model's start). Without --method it
# measures method 1 (Quickest); without files, the Canterbury corpus.
#
# Exit status: 0 when both builds packed every file to the same size, 1 when
# the sizes differ for some file (the builds do not code alike), 2 for a
# wrong command line, 3 when a tarn_bench run failed (its output is shown).
set -euo pipefail

usage() {
  sed -n '4p' "$0" | sed 's/^#  *//' >&2
  exit 2
}
positive() {  # option value
  [[ $2 =~ ^[1-9][0-9]*$ ]] || { echo "ab.sh: $1 needs a whole number from 1 up, not '$2'" >&2; exit 2; }
}

method=1
rounds=3
repeat=5
while [ $# -gt 0 ]; do
  case "$1" in
    --method | --rounds | --repeat)
      [ $# -ge 2 ] || { echo "ab.sh: $1 needs a value" >&2; exit 2; }
      positive "$1" "$2"
      case "$1" in
        --method) method=$2 ;;
        --rounds) rounds=$2 ;;
        --repeat) repeat=$2 ;;
      esac
      shift 2
      ;;
    --help | -h) usage ;;
    --*) echo "ab.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || usage
a=$1
b=$2
shift 2
for f in "$@"; do
  case "$f" in
    --*) echo "ab.sh: options go before the build directories: $f" >&2; exit 2 ;;
  esac
done
for build in "$a" "$b"; do
  [ -x "$build/bench/tarn_bench" ] || { echo "ab.sh: no $build/bench/tarn_bench (build it first)" >&2; exit 2; }
done

# The highest-numbered processor this process may run on, if it can be pinned.
pin=()
if command -v taskset > /dev/null; then
  cpu=$(python3 -c 'import os; print(max(os.sched_getaffinity(0)))')
  pin=(taskset -c "$cpu")
else
  echo "ab.sh: no taskset, the runs are not pinned" >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for round in $(seq "$rounds"); do
  for side in A B; do
    build=$a
    [ "$side" = B ] && build=$b
    run="$work/$side.$round"
    status=0
    "${pin[@]}" "$build/bench/tarn_bench" --method "$method" --repeat "$repeat" "$@" > "$run" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
      echo "ab.sh: $side ($build) tarn_bench failed (status $status):" >&2
      cat "$run" >&2
      exit 3
    fi
  done
done

python3 - "$work" "$rounds" "$method" $# <<'EOF'
import sys

work, rounds, method, files = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])


def rows(path):
    """The rows between tarn_bench's heading and its time line: name, packed, pack and unpack MB/s."""
    out, inside = [], False
    with open(path, errors="surrogateescape") as f:
        for line in f:
            fields = line.split()
            if fields[:2] == ["file", "size"]:
                inside = True
            elif fields[:2] == ["time", "pack"]:
                inside = False
            elif inside:
                # The name may hold spaces: the last five fields are the numbers.
                name = line.strip().rsplit(None, 5)[0]
                out.append((name, int(fields[-4]), float(fields[-2]), float(fields[-1])))
    return out


best = {}
names = None
for side in "AB":
    for r in range(1, rounds + 1):
        got = rows("%s/%s.%d" % (work, side, r))
        if names is None:
            names = [g[0] for g in got]
        if (files and len(got) != files + 1) or not got or [g[0] for g in got] != names:
            print("ab.sh: %s's round %d gave rows for other files than asked for" % (side, r), file=sys.stderr)
            sys.exit(3)
        for k, (name, packed, pack, unpack) in enumerate(got):
            b = best.setdefault((side, k), [packed, 0.0, 0.0])
            if b[0] != packed:
                b[0] = -1  # one build packed a file differently from one round to the next
            b[1] = max(b[1], pack)
            b[2] = max(b[2], unpack)


def ratio(x, y):
    return "x%.3f" % (y / x) if x > 0 and y > 0 else "-"


print("method %s: best MB/s of A and B, and B's speed as a multiple of A's" % method)
print("  %-24s %9s %9s %7s   %9s %9s %7s" % ("file", "pack A", "pack B", "B/A", "unpack A", "unpack B", "B/A"))
differ = False
for k, name in enumerate(names):
    pa, pb = best[("A", k)], best[("B", k)]
    note = ""
    if pa[0] != pb[0] or pa[0] < 0:
        note = "  packed sizes differ"
        differ = True
    print("  %-24s %9.2f %9.2f %7s   %9.2f %9.2f %7s%s"
          % (name, pa[1], pb[1], ratio(pa[1], pb[1]), pa[2], pb[2], ratio(pa[2], pb[2]), note))
sys.exit(1 if differ else 0)
EOF
