#!/bin/bash
# Two builds' packing and unpacking speed on the same files, in one run.
#
#   bench/ab.sh [--method N] [--rounds R] [--repeat K] BUILD_A BUILD_B [file ...]
#
# BUILD_A and BUILD_B are build directories (build/release, or the same
# preset in another checkout or worktree). Each round runs A's and then B's
# bench/tarn_bench over the files, each file packed and unpacked K times in
# the process (default 5), pinned to one core when taskset is there. Every
# file's fastest pack and unpack over all rounds are compared: B's speed as
# a multiple of A's, so x1.05 means B takes a twenty-first less time. On a
# machine shared with other work, such minimums of short runs move by a few
# per cent where medians of whole runs move by ten. The packed sizes must
# agree (a different size means different archives: the builds do not
# code alike). Without --method it measures method 1 (Quickest); without
# files the Canterbury corpus.
set -euo pipefail

method=1
rounds=3
repeat=5
while [ $# -gt 0 ]; do
  case "$1" in
    --method) method=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    *) break ;;
  esac
done
if [ $# -lt 2 ]; then
  sed -n '4p' "$0" | sed 's/^#  *//' >&2
  exit 2
fi
a=$1
b=$2
shift 2
for build in "$a" "$b"; do
  [ -x "$build/bench/tarn_bench" ] || { echo "ab.sh: no $build/bench/tarn_bench (build it first)" >&2; exit 2; }
done
pin=()
command -v taskset > /dev/null && pin=(taskset -c "$(($(nproc) - 1))")

out=$(mktemp)
trap 'rm -f "$out"' EXIT
for _ in $(seq "$rounds"); do
  for side in A B; do
    build=$a
    [ "$side" = B ] && build=$b
    "${pin[@]}" "$build/bench/tarn_bench" --method "$method" --repeat "$repeat" "$@" | sed "s/^/$side /" >> "$out"
  done
done

python3 - "$out" "$method" <<'EOF'
import sys

# Lines "SIDE   name size packed bpb pack_MB/s unpack_MB/s" (the per-file rows).
best = {}
order = []
for line in open(sys.argv[1]):
    f = line.split()
    if len(f) != 7:
        continue
    try:
        side, name = f[0], f[1]
        packed, pack, unpack = int(f[3]), float(f[5]), float(f[6])
    except ValueError:  # a heading
        continue
    if name not in order:
        order.append(name)
    b = best.setdefault((side, name), [packed, 0.0, 0.0])
    if b[0] != packed:
        b[0] = -1  # one build coded a file differently from one round to the next
    b[1] = max(b[1], pack)
    b[2] = max(b[2], unpack)

print("method %s: best MB/s of A and B, and B's speed as a multiple of A's" % sys.argv[2])
print("  %-24s %9s %9s %7s   %9s %9s %7s" % ("file", "pack A", "pack B", "B/A", "unpack A", "unpack B", "B/A"))
differ = False
for name in order:
    pa, pb = best.get(("A", name)), best.get(("B", name))
    if pa is None or pb is None:
        continue
    note = ""
    if pa[0] != pb[0] or pa[0] < 0:
        note = "  packed sizes differ"
        differ = True
    print("  %-24s %9.2f %9.2f  x%.3f   %9.2f %9.2f  x%.3f%s"
          % (name, pa[1], pb[1], pb[1] / pa[1] if pa[1] else 0, pa[2], pb[2], pb[2] / pa[2] if pa[2] else 0, note))
sys.exit(1 if differ else 0)
EOF
