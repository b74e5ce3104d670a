#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`), writes their seed corpora and
# runs each target for a fixed time. Any crash, sanitizer report, timeout or
# memory blow-up makes the script exit non-zero; the input that caused it is
# kept in build/fuzz/findings/.
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET ...]     (default 30 s, every target)
#
# Inputs the fuzzers find interesting accumulate in build/fuzz/corpus/<target>,
# so repeated runs go deeper.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_archive_list fuzz_archive_test fuzz_decode_buffer fuzz_undo_filters fuzz_ppm_decode
           fuzz_order0_decode fuzz_byte_predictor_decode fuzz_long_repeat_decode fuzz_roundtrip)
fi

bash scripts/install-deps.sh --fuzz
cmake --preset fuzz
cmake --build --preset fuzz

build=build/fuzz
rm -rf "$build/seeds"
"$build/fuzz/make_fuzz_seeds" "$build/seeds" "$build/tarnc"
mkdir -p "$build/findings"

status=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  log="$build/$t.log"
  if "$build/fuzz/$t" "$build/corpus/$t" "$build/seeds/$t" -max_total_time="$seconds" -timeout=25 \
       -rss_limit_mb=2560 -artifact_prefix="$build/findings/$t-" -print_final_stats=1 >"$log" 2>&1; then
    echo "$t: $(grep -o 'number_of_executed_units: [0-9]*' "$log" | cut -d' ' -f2) runs in ${seconds} s, no finding"
  else
    echo "$t: FINDING (see $log and $build/findings/)"
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" || tail -n 40 "$log"
    status=1
  fi
done
exit $status
