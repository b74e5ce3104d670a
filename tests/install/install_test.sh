#!/usr/bin/env bash
# The library as a program built on it meets it: the components libtarn0
# and libtarn-dev installed by `cmake --install` into an empty prefix, each
# with only its own files; the example program of docs/api.md compiled
# against that prefix with pkg-config and with find_package(tarn) (shared
# and static), run, and its archive tested by the build's tarnc; the shared
# library's SONAME and the symbols it exports: every tarn_ function of the
# header, and nothing else.
#
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR LIBDIR TARNC WORK_DIR
set -euo pipefail
cmake_command=$1 build=$2 source=$3 libdir=$4 tarnc=$5 work=$6
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"
lib="$prefix/$libdir"

# Files below the prefix, one relative path a line.
files() { (cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort); }

# libtarn0 alone: the library and its licence, nothing to build with.
"$cmake_command" --install "$build" --prefix "$prefix" --component libtarn0 >/dev/null
expected="$libdir/libtarn.so.0
$libdir/libtarn.so.0.75.0
share/doc/libtarn0/copyright"
[ "$(files)" = "$expected" ] || fail "libtarn0 installs: $(files | tr '\n' ' ') (want: $(tr '\n' ' ' <<<"$expected"))"
[ "$(readlink "$lib/libtarn.so.0")" = libtarn.so.0.75.0 ] || fail "libtarn.so.0 does not link to libtarn.so.0.75.0"
cmp -s "$prefix/share/doc/libtarn0/copyright" "$source/LICENSE" || fail "libtarn0's copyright is not LICENSE"

# libtarn-dev beside it.
"$cmake_command" --install "$build" --prefix "$prefix" --component libtarn-dev >/dev/null
for f in include/tarn/tarn.h "$libdir/libtarn.so" "$libdir/libtarn.a" "$libdir/pkgconfig/tarn.pc" \
         "$libdir/cmake/tarn/tarnConfig.cmake" "$libdir/cmake/tarn/tarnConfigVersion.cmake" \
         "$libdir/cmake/tarn/tarnTargets.cmake" share/doc/libtarn-dev/copyright share/doc/libtarn-dev/api.md; do
  [ -e "$prefix/$f" ] || fail "libtarn-dev does not install $f"
done
[ "$(readlink "$lib/libtarn.so")" = libtarn.so.0 ] || fail "libtarn.so does not link to libtarn.so.0"
if files | grep -E '^(bin/|lib/tarnc/|share/man/)'; then fail "a program or manual page in the library's components"; fi

# The shared library: its SONAME, and exactly the header's functions exported.
soname="$(objdump -p "$lib/libtarn.so.0.75.0" | awk '$1 == "SONAME" {print $2}')"
[ "$soname" = libtarn.so.0 ] || fail "SONAME is '$soname', not libtarn.so.0"
exported="$(nm -D --defined-only "$lib/libtarn.so.0" | awk '{print $NF}' | sed 's/@.*//' | LC_ALL=C sort -u)"
declared="$(grep -o 'TARN_API [^(]*\btarn_[a-z0-9_]*(' "$source/include/tarn/tarn.h" | grep -o 'tarn_[a-z0-9_]*($' | tr -d '(' | LC_ALL=C sort -u)"
others="$(grep -v '^tarn_' <<<"$exported" || true)"
[ -z "$others" ] || fail "libtarn.so.0 exports symbols other than tarn_*: $(tr '\n' ' ' <<<"$others")"
[ "$exported" = "$declared" ] || fail "exported and declared functions differ: $(diff <(echo "$declared") <(echo "$exported") | grep '^[<>]' | tr '\n' ' ')"
echo "libtarn.so.0 exports the $(wc -l <<<"$exported") functions of tarn.h and nothing else"

# The example of docs/api.md, between its markers, without the code fence.
awk '/<!-- example:end -->/ {inside = 0} inside && !/^```/ {print} /<!-- example:begin -->/ {inside = 1}' \
  "$source/docs/api.md" >"$work/example.c"
grep -q 'int main' "$work/example.c" || fail "no example program between the markers of docs/api.md"

# Where a program finds libtarn.so.0, "" if it does not load it.
loaded_library() { ldd "$1" | awk '$1 == "libtarn.so.0" {print $3}' | xargs -r readlink -f; }
real_library="$(readlink -f "$lib/libtarn.so.0")"

# Runs a built example in a directory of its own and tests its archive with tarnc.
run_example() {
  local program=$1 run="$work/run-$(basename "$1")"
  mkdir "$run"
  (cd "$run" && "$program" >output.txt) || fail "$(basename "$program") failed: $(cat "$run/output.txt")"
  grep -q '^tested 2 entries, 0 damaged$' "$run/output.txt" || fail "$(basename "$program") printed: $(cat "$run/output.txt")"
  "$tarnc" t "$run/example.trn" '*' >"$run/tarnc.txt" || fail "tarnc t of the example's archive: $(cat "$run/tarnc.txt")"
  echo "$(basename "$program"): $(head -n 1 "$run/output.txt")"
}

# pkg-config: the versions agree, the example builds with -Werror and runs
# on the prefix's library (not one installed elsewhere).
export PKG_CONFIG_PATH="$lib/pkgconfig"
header_version="$(sed -n 's/^#define TARN_VERSION_STRING "\(.*\)"$/\1/p' "$source/include/tarn/tarn.h")"
[ "$(pkg-config --modversion tarn)" = "$header_version" ] || fail "tarn.pc has version $(pkg-config --modversion tarn), the header $header_version"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic "$work/example.c" $(pkg-config --cflags --libs tarn) \
  -Wl,-rpath,"$(pkg-config --variable=libdir tarn)" -o "$work/example-pkg-config" || fail "the example does not build with pkg-config"
[ "$(loaded_library "$work/example-pkg-config")" = "$real_library" ] || fail "example-pkg-config does not load $lib/libtarn.so.0"
run_example "$work/example-pkg-config"

# CMake: find_package(tarn 0.75) in a C project, tarn::tarn and tarn::tarn_static.
mkdir "$work/project"
cp "$work/example.c" "$work/project/"
cat >"$work/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.22)
project(tarn_example LANGUAGES C)
find_package(tarn 0.75 REQUIRED)
add_executable(example-shared example.c)
target_link_libraries(example-shared PRIVATE tarn::tarn)
add_executable(example-static example.c)
target_link_libraries(example-static PRIVATE tarn::tarn_static)
CMAKE
"$cmake_command" -S "$work/project" -B "$work/project/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  >"$work/project-configure.txt" 2>&1 || fail "find_package(tarn): $(cat "$work/project-configure.txt")"
"$cmake_command" --build "$work/project/build" >"$work/project-build.txt" 2>&1 || fail "the CMake project: $(cat "$work/project-build.txt")"
[ "$(loaded_library "$work/project/build/example-shared")" = "$real_library" ] || fail "example-shared does not load $lib/libtarn.so.0"
if [ -n "$(loaded_library "$work/project/build/example-static")" ]; then fail "example-static loads libtarn"; fi
run_example "$work/project/build/example-shared"
run_example "$work/project/build/example-static"
echo "install test passed"
