#!/usr/bin/env bash
# Cross-builds tarnc for another processor (preset aarch64: ARM64; preset
# s390x: big-endian IBM Z) and runs the result under qemu-user:
#   1. every unit test of that build (ctest, two at a time);
#   2. the end-to-end suite of the release build against the emulated tarnc
#      and stub (TARN_E2E_TARNC, TARN_E2E_RUNNER, TARN_E2E_SFX), every golden
#      archive byte for byte among it;
#   3. a cross-check with the release build: the corpus in tests/data and
#      the golden cases' generated inputs (x86 code, 16-bit stereo, 24-bit
#      pixels, Cyrillic code pages, noisy text, long repeats), packed at
#      every method, single and solid, make the same archive natively and
#      under emulation, each build extracts the other's to the original
#      files, and both tarn-inspect builds print the same structure.
# Prints the time of each step; exits non-zero when a step fails.
#
#   bash scripts/cross.sh aarch64|s390x
set -euo pipefail
cd "$(dirname "$0")/.."
arch="${1:-}"
case "$arch" in
  aarch64 | s390x) ;;
  *) echo "usage: scripts/cross.sh aarch64|s390x" >&2; exit 2 ;;
esac
triple="$arch-linux-gnu"
bash scripts/install-deps.sh
need=()
command -v "$triple-g++" >/dev/null || need+=("g++-$triple")
command -v "qemu-$arch" >/dev/null || need+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
[ ${#need[@]} -eq 0 ] || bash scripts/apt-install.sh --no-recommends "${need[@]}"

# The target's programs find their libraries under /usr/<triple>; binfmt
# need not be registered, every run names the emulator.
export QEMU_LD_PREFIX="/usr/$triple"
QEMU="$(command -v "qemu-$arch")"
started=$SECONDS
step_start=$SECONDS
step_done() {
  echo "cross $arch: $1 in $((SECONDS - step_start)) s"
  step_start=$SECONDS
}

# The release build runs the end-to-end suite and is the other side of the
# cross-check (nothing to do when CI's test run built it already).
cmake --preset release >/dev/null
cmake --build --preset release
cmake --preset "$arch" >/dev/null
cmake --build --preset "$arch"
step_done "builds"

# 1. Unit tests: one qemu per test, two at a time (the toolchain file names
# the emulator).
ctest --preset "$arch"
step_done "unit tests under qemu-$arch"

# 2. The end-to-end suite. Left out, as they would measure qemu rather than
# tarnc: the peak-memory bound (qemu's own translation caches are several
# times the bound) and the run where no thread can be started (qemu-user
# cannot start without threads of its own).
TARN_E2E_TARNC="$PWD/build/$arch/tarnc" TARN_E2E_RUNNER="$QEMU" TARN_E2E_SFX="$PWD/build/$arch/tarn32.sfx" \
  build/release/tests/tarn_e2e_tests --gtest_brief=1 \
  --gtest_filter='-UnhappyE2E.MemoryStaysBoundedWhateverTheSizes:UnhappyE2E.RunsWhereNoThreadCanStart'
step_done "end-to-end suite against tarnc under qemu-$arch"

# 3. Cross-check.
native="$PWD/build/release/tarnc"
native_inspect="$PWD/build/release/tarn-inspect"
emulated=("$QEMU" "$PWD/build/$arch/tarnc")
emulated_inspect=("$QEMU" "$PWD/build/$arch/tarn-inspect")
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r tests/data/canterbury "$work/corpus"
cp -r tests/data/golden/inputs "$work/inputs"
cd "$work"
failed=0
for method in 0 q f n g s e; do
  for solid in "" -b; do
    name="-m$method${solid:+ -b}"
    archive="m$method${solid:+b}.trn"
    "$native" c "-m$method" $solid "native-$archive" 'corpus/*' 'inputs/*' >/dev/null
    "${emulated[@]}" c "-m$method" $solid "emulated-$archive" 'corpus/*' 'inputs/*' >/dev/null
    if ! cmp -s "native-$archive" "emulated-$archive"; then
      echo "$name: the archives differ ($(stat -c %s "native-$archive") bytes native, $(stat -c %s "emulated-$archive") emulated)" >&2
      failed=1
      continue
    fi
    rm -rf by-native by-emulated
    "${emulated[@]}" x -oby-emulated "native-$archive" '*' >/dev/null
    "$native" x -oby-native "emulated-$archive" '*' >/dev/null
    if ! diff -r corpus by-emulated/corpus || ! diff -r inputs by-emulated/inputs ||
       ! diff -r corpus by-native/corpus || ! diff -r inputs by-native/inputs; then
      echo "$name: an extraction differs from the corpus" >&2
      failed=1
      continue
    fi
    if [ "$("$native_inspect" "native-$archive")" != "$("${emulated_inspect[@]}" "native-$archive")" ]; then
      echo "$name: tarn-inspect prints another structure under emulation" >&2
      failed=1
      continue
    fi
    printf '%-8s identical archives of %9d bytes; each build extracts the other'"'"'s\n' "$name" "$(stat -c %s "native-$archive")"
  done
done
[ $failed -eq 0 ] || { echo "cross $arch: the cross-check FAILED" >&2; exit 1; }
step_done "cross-check of 14 archives"
echo "cross $arch: passed in $((SECONDS - started)) s"
