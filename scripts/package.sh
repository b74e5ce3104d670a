#!/usr/bin/env bash
# Makes the Debian package from the release build (cpack -G DEB in
# build/release) and checks it the way a user meets it: installed with
# apt-get from an empty directory, tarnc from the PATH packs, lists, tests
# and extracts samples/, the installed stub makes a self-extracting archive
# that extracts, and the package is removed again, leaving nothing behind.
#
#   bash scripts/package.sh            # build and check
#   bash scripts/package.sh --build    # only build build/release/tarnc_*.deb
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
rm -f build/release/tarnc_*.deb
(cd build/release && cpack -G DEB >/dev/null)
deb="$(ls build/release/tarnc_*.deb)"
echo "package: $deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\): /  \1: /p'
dpkg-deb --contents "$deb" | awk '{print "  " $6}' | grep -v '/$'
[ "${1:-}" = "--build" ] && exit 0

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ "$(dpkg-query -W -f='${db:Status-Status}' tarnc 2>/dev/null)" = installed ]; then
  echo "a tarnc package is installed already; remove it first (apt-get remove tarnc)" >&2
  exit 1
fi
work="$(mktemp -d)"
chmod 755 "$work"  # apt's download user reads the package from here
cleanup() {
  if [ "$(dpkg-query -W -f='${db:Status-Status}' tarnc 2>/dev/null)" = installed ]; then
    $SUDO apt-get remove -y -q tarnc >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cp "$deb" "$work/"
cd "$work"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "./$(basename "$deb")" >/dev/null
hash -r
[ "$(command -v tarnc)" = /usr/bin/tarnc ] || { echo "tarnc is not /usr/bin/tarnc on the PATH" >&2; exit 1; }
[ "$(command -v tarn-inspect)" = /usr/bin/tarn-inspect ] || { echo "tarn-inspect is not on the PATH" >&2; exit 1; }
[ -f /usr/share/man/man1/tarnc.1 ] || { echo "no manual page" >&2; exit 1; }
[ -f /usr/lib/tarnc/tarn32.sfx ] || { echo "no stub in /usr/lib/tarnc" >&2; exit 1; }
echo "installed: $(dpkg-query -W -f='${Package} ${Version}' tarnc); tarnc is $(command -v tarnc)"

cp -r "$repo/samples" .
tarnc c -r -b samples.trn 'samples/*' >/dev/null
tarnc l samples.trn
tested="$(tarnc t samples.trn '*')"
grep -q '^Tested ' <<<"$tested" || { echo "tarnc t did not test: $tested" >&2; exit 1; }
tarnc x -oout samples.trn '*' >/dev/null
diff -r samples out/samples
tarn-inspect samples.trn >/dev/null
# The README's way to make a self-extracting archive with the installed stub.
cp /usr/lib/tarnc/tarn32.sfx . && tarnc c -s -r samples-sfx 'samples/*' >/dev/null
mkdir run && (cd run && ../samples-sfx.exe >/dev/null) && diff -r samples run/samples

$SUDO apt-get remove -y -qq tarnc >/dev/null
hash -r
if command -v tarnc >/dev/null || [ -e /usr/lib/tarnc ] || [ -e /usr/share/man/man1/tarnc.1 ]; then
  echo "files of the package are left after its removal" >&2
  exit 1
fi
echo "package check passed: $(basename "$deb") installs, runs and uninstalls"
