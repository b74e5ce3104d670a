#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test tarnc and its Python package (through apt-install.sh).
# With --fuzz, also clang and its libFuzzer runtime (only scripts/fuzz.sh asks for them).
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
# The install test builds a C program on the installed library with pkg-config (cc comes with g++).
command -v pkg-config >/dev/null || need+=(pkg-config)
# The Python package's tests: the system's pytest, and venv, pip, setuptools
# and wheel for installing it into a virtual environment without a network
# (apt-install.sh leaves out those already installed).
need+=(python3-pytest python3-venv python3-pip python3-setuptools python3-wheel)
if [ "${1:-}" = "--fuzz" ]; then
  command -v clang++ >/dev/null || need+=(clang)
  probe="$(mktemp -d)"
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/p.cpp"
  if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
    version="$(clang++ --version 2>/dev/null | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)"
    need+=("libclang-rt-${version:-14}-dev")
  fi
  rm -rf "$probe"
fi
[ ${#need[@]} -eq 0 ] || bash "$(dirname "$0")/apt-install.sh" "${need[@]}"
