#!/usr/bin/env bash
# Makes the Debian packages from the release build (cpack -G DEB in
# build/release: one package per install component -- libtarn0,
# libtarn-dev, tarnc, python3-tarn) and checks them the way a user meets
# them: the files each one holds and what it depends on, all installed
# together with apt-get from an empty directory, tarnc from the PATH packs,
# lists, tests and extracts samples/, the installed stub makes a
# self-extracting archive that extracts, the example of docs/api.md builds
# against the installed libtarn-dev with pkg-config and runs, the Python
# package imports, and the packages are removed again, leaving nothing
# behind.
#
#   bash scripts/package.sh            # build and check
#   bash scripts/package.sh --build    # only build build/release/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
bash scripts/install-deps.sh
# cpack finds the programs with file(1) and their Depends with dpkg-shlibdeps.
need=()
command -v file >/dev/null || need+=(file)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
[ ${#need[@]} -eq 0 ] || bash scripts/apt-install.sh --no-recommends "${need[@]}"
cmake --preset release >/dev/null
cmake --build --preset release
rm -f build/release/*.deb
(cd build/release && cpack -G DEB >/dev/null)
mapfile -t debs < <(ls build/release/*.deb)
packages=()
for deb in "${debs[@]}"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
version="$(dpkg-deb -f "${debs[0]}" Version)"
fail() { echo "package check: $*" >&2; exit 1; }

# What each package holds and depends on.
contents() { dpkg-deb --contents "$1" | awk '{print $6}' | grep -v '/$' | sed 's|^\./|/|'; }
for deb in "${debs[@]}"; do
  package="$(dpkg-deb -f "$deb" Package)"
  echo "package: $deb"
  dpkg-deb --info "$deb" | sed -n 's/^ \(Version\|Architecture\|Depends\): /  \1: /p'
  contents "$deb" | sed 's/^/  /'
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$package has another version than $version"
  held="$(contents "$deb")"
  grep -qx "/usr/share/doc/$package/copyright" <<<"$held" || fail "$package has no /usr/share/doc/$package/copyright"
  cmp -s <(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/copyright") LICENSE ||
    fail "$package's copyright is not LICENSE"
  case "$package" in
    libtarn0) wanted="/usr/lib/libtarn.so.0 /usr/lib/libtarn.so.0.75.0"; unwanted='\.(a|h|pc)$|/libtarn\.so$|/bin/' ;;
    libtarn-dev) wanted="/usr/include/tarn/tarn.h /usr/lib/libtarn.so /usr/lib/libtarn.a /usr/lib/pkgconfig/tarn.pc
                         /usr/lib/cmake/tarn/tarnConfig.cmake /usr/share/doc/libtarn-dev/api.md"
                 unwanted='\.so\.0|/bin/' ;;
    tarnc) wanted="/usr/bin/tarnc /usr/bin/tarn-inspect /usr/lib/tarnc/tarn32.sfx /usr/share/man/man1/tarnc.1"
           unwanted='libtarn|/include/' ;;
    *) wanted=""; unwanted='^$' ;;
  esac
  for f in $wanted; do grep -qx "$f" <<<"$held" || fail "$package does not hold $f"; done
  if grep -E "$unwanted" <<<"$held"; then fail "$package holds files of another package (above)"; fi
done
for package in libtarn0 libtarn-dev tarnc; do
  [[ " ${packages[*]} " == *" $package "* ]] || fail "no $package package"
done
dev_depends="$(dpkg-deb -f build/release/libtarn-dev_*.deb Depends)"
[[ "$dev_depends" == *"libtarn0 (= $version)"* ]] || fail "libtarn-dev depends on '$dev_depends', not libtarn0 (= $version)"
# tarnc is linked with the core statically.
if dpkg-deb -f build/release/tarnc_*.deb Depends | grep -q libtarn; then fail "tarnc depends on libtarn0"; fi
[ "${1:-}" = "--build" ] && exit 0

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }
for package in "${packages[@]}"; do
  if installed "$package"; then
    echo "a $package package is installed already; remove it first (apt-get remove $package)" >&2
    exit 1
  fi
done
work="$(mktemp -d)"
chmod 755 "$work"  # apt's download user reads the packages from here
cleanup() {
  local left=()
  for package in "${packages[@]}"; do installed "$package" && left+=("$package"); done
  [ ${#left[@]} -eq 0 ] || $SUDO apt-get purge -y -q "${left[@]}" >/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp "${debs[@]}" "$work/"
cd "$work"
local_debs=()
for deb in "${debs[@]}"; do local_debs+=("./$(basename "$deb")"); done
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${local_debs[@]}" >/dev/null
hash -r
for package in "${packages[@]}"; do installed "$package" || fail "$package did not install"; done
[ "$(command -v tarnc)" = /usr/bin/tarnc ] || fail "tarnc is not /usr/bin/tarnc on the PATH"
[ "$(command -v tarn-inspect)" = /usr/bin/tarn-inspect ] || fail "tarn-inspect is not on the PATH"
[ -f /usr/share/man/man1/tarnc.1 ] || fail "no manual page"
[ -f /usr/lib/tarnc/tarn32.sfx ] || fail "no stub in /usr/lib/tarnc"
echo "installed: ${packages[*]} $version; tarnc is $(command -v tarnc)"

cp -r "$repo/samples" .
tarnc c -r -b samples.trn 'samples/*' >/dev/null
tarnc l samples.trn
tested="$(tarnc t samples.trn '*')"
grep -q '^Tested ' <<<"$tested" || fail "tarnc t did not test: $tested"
tarnc x -oout samples.trn '*' >/dev/null
diff -r samples out/samples
tarn-inspect samples.trn >/dev/null
# The README's way to make a self-extracting archive with the installed stub.
cp /usr/lib/tarnc/tarn32.sfx . && tarnc c -s -r samples-sfx 'samples/*' >/dev/null
mkdir run && (cd run && ../samples-sfx.exe >/dev/null) && diff -r samples run/samples

# The example of docs/api.md against the installed libtarn-dev, as a user
# builds it: pkg-config's own search path, the system's loader.
awk '/<!-- example:end -->/ {inside = 0} inside && !/^```/ {print} /<!-- example:begin -->/ {inside = 1}' \
  "$repo/docs/api.md" >example.c
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror example.c $(pkg-config --cflags --libs tarn) -o example ||
  fail "the example of docs/api.md does not build with the installed libtarn-dev"
loaded="$(ldd ./example | awk '$1 == "libtarn.so.0" {print $3}')"
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f /usr/lib/libtarn.so.0)" ] ||
  fail "the example loads '$loaded', not the installed /usr/lib/libtarn.so.0"
mkdir example-run && (cd example-run && ../example) | tee example.txt | sed 's/^/  /'
grep -q '^tested 2 entries, 0 damaged$' example.txt || fail "the example did not test its archive"
tarnc t example-run/example.trn '*' >/dev/null || fail "tarnc t of the example's archive"
if [[ " ${packages[*]} " == *" python3-tarn "* ]]; then
  (cd example-run && /usr/bin/python3 -c 'import tarn, sys; a = tarn.open("example.trn"); sys.exit(a.test() != [])') ||
    fail "the installed Python package does not read the example's archive"
  echo "python3-tarn reads it"
fi

$SUDO apt-get purge -y -qq "${packages[@]}" >/dev/null
hash -r
for package in "${packages[@]}"; do
  if dpkg-query -W "$package" >/dev/null 2>&1; then fail "$package is still known to dpkg"; fi
done
if command -v tarnc >/dev/null || [ -e /usr/lib/tarnc ] || [ -e /usr/share/man/man1/tarnc.1 ] ||
   compgen -G '/usr/lib/libtarn*' >/dev/null || [ -e /usr/include/tarn ] || [ -e /usr/lib/pkgconfig/tarn.pc ] ||
   [ -e /usr/lib/cmake/tarn ] || [ -e /usr/lib/python3/dist-packages/tarn ]; then
  fail "files of the packages are left after their removal"
fi
echo "package check passed: ${packages[*]} ($version) install, run and uninstall"
