#!/bin/bash
# bench/ab.sh against builds whose answers are known: this build against
# itself, against a build that packs differently, and against one whose
# benchmark fails.   ab_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
ab="$src/bench/ab.sh"
corpus="$src/tests/data/canterbury"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
check() {  # description, expected status, actual status, output, lines the output must hold...
  local description=$1 expected=$2 status=$3 output=$4 ok=1
  shift 4
  [ "$status" -eq "$expected" ] || ok=0
  for pattern in "$@"; do
    grep -q -E -- "$pattern" <<< "$output" || ok=0
  done
  if [ "$ok" -eq 0 ]; then
    echo "FAILED: $description (status $status, expected $expected)"
    echo "$output"
    failed=1
  fi
}
stub() {  # a build directory whose tarn_bench runs this one's with extra arguments, or fails
  mkdir -p "$work/$1/bench"
  printf '#!/bin/bash\n%s\n' "$2" > "$work/$1/bench/tarn_bench"
  chmod +x "$work/$1/bench/tarn_bench"
}
cp "$corpus/grammar.lsp" "$work/a name with spaces"

out=$(bash "$ab" --rounds 1 --repeat 2 "$build" "$build" "$work/a name with spaces" "$corpus/sum" 2>&1)
check "the build against itself" 0 $? "$out" \
  "^  a name with spaces +[0-9.]+ +[0-9.]+ +x[0-9.]+ +[0-9.]+ +[0-9.]+ +x[0-9.]+$" \
  "^  sum +[0-9.]+ +[0-9.]+ +x[0-9.]+ +[0-9.]+ +[0-9.]+ +x[0-9.]+$" "^  total +[0-9.]+"

# Without its filters the benchmark packs sum (a binary with text in it) differently.
stub unfiltered "exec \"$build/bench/tarn_bench\" --no-filters \"\$@\""
out=$(bash "$ab" --rounds 1 --repeat 1 "$build" "$work/unfiltered" "$corpus/sum" 2>&1)
check "a build that packs differently" 1 $? "$out" "^  sum .*packed sizes differ"

stub broken 'echo "cannot read it"; exit 2'
out=$(bash "$ab" --rounds 1 --repeat 1 "$build" "$work/broken" "$corpus/sum" 2>&1)
check "a benchmark that fails" 3 $? "$out" "^ab.sh: B \(.*broken\) tarn_bench failed \(status 2\):$" "^cannot read it$"

out=$(bash "$ab" --rounds 0 "$build" "$build" 2>&1)
check "a round count of 0" 2 $? "$out" "--rounds needs a whole number"

[ "$failed" -eq 0 ] && echo "ab.sh: all cases as expected"
exit "$failed"
