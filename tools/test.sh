#!/usr/bin/env bash
# Sets up the machine when needed, builds everything and runs every test.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VARN_BUILD:-$top/build}
bash "$top/tools/setup.sh" --tests
cmake --build "$build" -j"$(nproc)"
tests=$build
if [ -f "$build/tests-tree" ]; then
  # A kernel without 32-bit programs (tools/setup.sh said so): the 32-bit
  # programs get their PE checks, which need no Wine, and every test runs on
  # the 64-bit build of the same sources.
  ctest --test-dir "$build" --output-on-failure -L build
  tests=$(cat "$build/tests-tree")
  cmake --build "$tests" -j"$(nproc)"
fi
# In parallel: tests that share something hold resource locks (tests/CMakeLists.txt).
ctest --test-dir "$tests" --output-on-failure --timeout 1200 -j"$(nproc)" "$@"
