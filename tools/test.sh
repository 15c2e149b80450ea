#!/usr/bin/env bash
# Sets up the machine when needed, builds everything and runs every test.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VARN_BUILD:-$top/build}
bash "$top/tools/setup.sh"
cmake --build "$build" -j"$(nproc)"
# In parallel: tests that share something hold resource locks (tests/CMakeLists.txt).
ctest --test-dir "$build" --output-on-failure --timeout 1200 -j"$(nproc)" "$@"
