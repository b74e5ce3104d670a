#!/usr/bin/env bash
# Mutation testing: applies the single-line mutants of scripts/mutants.txt to
# the source one at a time, builds the tests in build/mutants (a release
# configuration of its own) and runs them. A mutant is killed when a test
# fails or times out, survives when every test passes, and is invalid when it
# does not compile (invalid mutants are not part of the score). Prints one
# line per mutant, then the score and the survivors.
#
#   bash scripts/mutants.sh [TEXT]      (only the mutants whose line contains TEXT)
#
# The source file is restored as soon as its mutant is built, and on Ctrl-C.
# Not run in CI: the whole list takes tens of minutes. Unit tests run first and
# the run stops at the first failure, so a killed mutant costs a build and a
# few seconds. TARN_MUTANT_TIMEOUT sets the per-test limit (default 300 s).
set -uo pipefail
cd "$(dirname "$0")/.."

list=scripts/mutants.txt
build=build/mutants
timeout="${TARN_MUTANT_TIMEOUT:-300}"
only="${1:-}"
targets=(tarn_unit_tests tarn_e2e_tests)
log="$build/mutant.log"

mutated=""                          # the file that holds a mutant right now
backup="$(mktemp)"
restore() {
  if [ -n "$mutated" ]; then
    cat "$backup" >"$mutated"       # a new time stamp: the next build recompiles it
    mutated=""
  fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'echo; echo "interrupted"; exit 130' INT TERM

build_tests() { cmake --build "$build" -j2 --target "${targets[@]}" >"$log" 2>&1 </dev/null; }
# Unit tests first (they are quick and catch most mutants), then end to end.
run_tests() {
  ctest --test-dir "$build" -L unit --timeout "$timeout" --stop-on-failure -j2 >"$log" 2>&1 </dev/null &&
    ctest --test-dir "$build" -L e2e --timeout "$timeout" --stop-on-failure -j2 >"$log" 2>&1 </dev/null
}
first_failure() {
  sed -n '/The following tests FAILED:/{n;p;q}' "$log" | sed -E 's/^[[:space:]]*[0-9]+ - //'
}

mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 || { cat "$log"; exit 1; }
echo "baseline: building and running the suite on the unchanged source"
if ! build_tests; then
  tail -n 30 "$log"
  echo "the unchanged source does not build"
  exit 1
fi
if ! run_tests; then
  echo "the suite fails on the unchanged source: $(first_failure)"
  exit 1
fi

total=0 killed=0 survived=0 invalid=0 bad=0
survivors=()
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in '' | '#'*) continue ;; esac
  if [ -n "$only" ] && [[ "$line" != *"$only"* ]]; then continue; fi
  if [[ "$line" != *" :: "*" ==>"* ]]; then
    echo "MALFORMED  $line"
    bad=$((bad + 1))
    continue
  fi
  file="${line%% :: *}"
  rest="${line#* :: }"
  pattern="${rest%% ==>*}"
  replacement="${rest#* ==>}"
  replacement="${replacement# }"
  matches=$(grep -cF -e "$pattern" "$file" 2>/dev/null || true)
  if [ "$matches" != 1 ]; then
    echo "BAD        $file: \"$pattern\" matches ${matches:-no} lines (must be exactly one)"
    bad=$((bad + 1))
    continue
  fi

  total=$((total + 1))
  label="$file: $pattern ==> $replacement"
  start=$SECONDS
  cp "$file" "$backup"
  mutated="$file"
  P="$pattern" R="$replacement" awk '{
      i = index($0, ENVIRON["P"])
      if (i) $0 = substr($0, 1, i - 1) ENVIRON["R"] substr($0, i + length(ENVIRON["P"]))
      print
    }' "$backup" >"$file"
  if cmp -s "$backup" "$file"; then
    restore
    echo "BAD        $label: the replacement changes nothing"
    total=$((total - 1))
    bad=$((bad + 1))
    continue
  fi
  if ! build_tests; then
    restore
    invalid=$((invalid + 1))
    printf '[%3d] INVALID   %s\n' "$total" "$label"
    continue
  fi
  restore
  if run_tests; then
    survived=$((survived + 1))
    survivors+=("$label")
    printf '[%3d] SURVIVED  %s  (%d s)\n' "$total" "$label" $((SECONDS - start))
  else
    killed=$((killed + 1))
    printf '[%3d] killed    %s  (%s, %d s)\n' "$total" "$label" "$(first_failure)" $((SECONDS - start))
  fi
done <"$list"

valid=$((killed + survived))
echo
echo "mutants: $total  killed: $killed  survived: $survived  invalid: $invalid  bad lines: $bad"
if [ "$valid" -gt 0 ]; then
  echo "score: $killed/$valid = $(awk -v k="$killed" -v v="$valid" 'BEGIN { printf "%.1f", 100 * k / v }') %"
fi
if [ ${#survivors[@]} -gt 0 ]; then
  echo "survivors:"
  printf '  %s\n' "${survivors[@]}"
fi
