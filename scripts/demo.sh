#!/usr/bin/env bash
# Builds tarnc (release preset) and runs its main job on the sample files:
# create an archive of samples/, list it, test it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null
TARNC="$PWD/build/release/tarnc"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r samples "$work/"
cd "$work"
"$TARNC" c -r -b samples.trn 'samples/*'
"$TARNC" l samples.trn
"$TARNC" t samples.trn '*'
