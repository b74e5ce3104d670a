#!/usr/bin/env bash
# Installs with apt-get those of the named Debian packages that are not
# installed yet: one apt-get update, then one install, through sudo when not
# run as root. Does nothing when every package is there.
#
#   bash scripts/apt-install.sh [--no-recommends] PACKAGE...
set -euo pipefail
options=()
if [ "${1:-}" = "--no-recommends" ]; then
  options+=(--no-install-recommends)
  shift
fi
missing=()
for package in "$@"; do
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "installing: ${missing[*]}"
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${options[@]}" "${missing[@]}"
