#!/usr/bin/env bash
# Compares tarn_bench with common compressors on the same files: packed size,
# pack and unpack time, speed relative to xz -9e, and tarn's peak memory per
# method (one method per process so ru_maxrss belongs to that method).
#
#   bench/compare.sh [path/to/tarn_bench] [file ...]
# Default binary: build/release/bench/tarn_bench; default files: the
# Canterbury corpus in tests/data/canterbury.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bench="${1:-$here/build/release/bench/tarn_bench}"
shift || true
if [ "$#" -gt 0 ]; then files=("$@"); else files=("$here"/tests/data/canterbury/*); fi
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

now() { date +%s.%N; }
total_in=0
for f in "${files[@]}"; do total_in=$((total_in + $(stat -c %s "$f"))); done

declare -A pack_time
run_tool() {  # name, compress command prefix, decompress command prefix
  local name="$1" comp="$2" decomp="$3" size=0 t0 t1 tc=0 td=0 per_file=""
  for f in "${files[@]}"; do
    t0=$(now); $comp < "$f" > "$tmp/out"; t1=$(now)
    tc=$(echo "$tc + $t1 - $t0" | bc -l)
    size=$((size + $(stat -c %s "$tmp/out")))
    t0=$(now); $decomp < "$tmp/out" > "$tmp/back"; t1=$(now)
    td=$(echo "$td + $t1 - $t0" | bc -l)
    cmp -s "$f" "$tmp/back" || echo "  $name: round trip failed on $f"
    per_file+="$(printf "    %-16s %10d\n" "$(basename "$f")" "$(stat -c %s "$tmp/out")")"$'\n'
  done
  pack_time[$name]=$tc
  printf "%-16s %10d %7.3f bpb  pack %7.3f s  unpack %7.3f s" "$name" "$size" \
    "$(echo "8 * $size / $total_in" | bc -l)" "$tc" "$td"
  if [ -n "${pack_time[xz]:-}" ]; then
    printf "  pack speed x%.2f of xz" "$(echo "${pack_time[xz]} / $tc" | bc -l)"
  fi
  printf "\n%s" "$per_file"
}

echo "files: ${#files[@]}, $total_in bytes"
run_tool xz "xz -9e -c" "xz -d -c"
run_tool bzip2 "bzip2 -9 -c" "bzip2 -d -c"
run_tool zstd "zstd -19 --long -q -c" "zstd -d -q -c --long"
if command -v brotli > /dev/null; then run_tool brotli "brotli -q 11 -c" "brotli -d -c"; fi

for m in 1 2 3 4 5 6; do
  out="$("$bench" --method "$m" "${files[@]}")"
  line="$(echo "$out" | grep '^  total')"
  times="$(echo "$out" | grep 'time pack')"
  mem="$(echo "$out" | grep 'peak memory')"
  size="$(echo "$line" | awk '{print $3}')"
  tc="$(echo "$times" | awk '{print $3}')"
  td="$(echo "$times" | awk '{print $6}')"
  printf "%-16s %10d %7.3f bpb  pack %7.3f s  unpack %7.3f s  pack speed x%.2f of xz  %s\n" \
    "tarn -m$m" "$size" "$(echo "8 * $size / $total_in" | bc -l)" "$tc" "$td" \
    "$(echo "${pack_time[xz]} / $tc" | bc -l)" "$mem"
  if echo "$out" | grep -q MISMATCH; then echo "  tarn -m$m: round trip failed"; fi
done

# What the filters gain: Normal with every filter against Normal with -ftemsl, per file.
echo
echo "filters at -mn, per file: packed size with filters / without (-ftemsl)"
with="$("$bench" --method 3 "${files[@]}" | awk '/^  /{print $1, $3}')"
without="$("$bench" --method 3 --no-filters "${files[@]}" | awk '/^  /{print $1, $3}')"
join <(echo "$with" | grep -v -e '^file' -e '^time' | sort) \
     <(echo "$without" | grep -v -e '^file' -e '^time' | sort) |
  awk '{ printf "  %-16s %10d %10d  %+6.2f%%\n", $1, $2, $3, ($3 ? 100.0 * ($2 - $3) / $3 : 0) }'
