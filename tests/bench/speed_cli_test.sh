#!/bin/bash
# tarn_speed's command line: help, refusals, and the generated texts.
#   speed_cli_test.sh BUILD_DIR
set -uo pipefail
speed="$1/bench/tarn_speed"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
expect() {  # description, expected status, command...
  local description=$1 expected=$2
  shift 2
  "$@" > "$work/out" 2> "$work/err"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAILED: $description (status $status, expected $expected)"
    cat "$work/out" "$work/err"
    failed=1
  fi
}
expect "--help" 0 "$speed" --help
grep -q "^usage: tarn_speed" "$work/out" || { echo "FAILED: --help prints no usage on stdout"; failed=1; }
expect "an unknown option" 2 "$speed" --bogus "$1/tarnc"
grep -q "unknown option or missing value: --bogus" "$work/err" || { echo "FAILED: the option is not named"; failed=1; }
expect "an option without its value" 2 "$speed" "$1/tarnc" --rounds
expect "a file that does not exist" 2 "$speed" "$work/missing"
printf 'not a program\n' > "$work/plain"
expect "a file that may not be run" 2 "$speed" "$work/plain"
expect "a directory" 2 "$speed" "$work"
expect "an input kind it does not make" 2 "$speed" --only novels "$1/tarnc"
expect "a text kind it does not make" 2 "$speed" --write-text novels "$work/t"
[ ! -e "$work/t" ] || { echo "FAILED: a refused --write-text wrote a file"; failed=1; }
for kind in chain swapped xml records; do
  expect "--write-text $kind" 0 "$speed" --mb 1 --write-text "$kind" "$work/$kind.1"
  expect "--write-text $kind again" 0 "$speed" --mb 1 --write-text "$kind" "$work/$kind.2"
  size=$(stat -c %s "$work/$kind.1")
  [ "$size" -eq 1000000 ] || { echo "FAILED: $kind is $size bytes, not 1000000"; failed=1; }
  cmp -s "$work/$kind.1" "$work/$kind.2" || { echo "FAILED: $kind differs from one run to the next"; failed=1; }
done
exit $failed
