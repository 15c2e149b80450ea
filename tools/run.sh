#!/usr/bin/env bash
# The main job: sets up, builds, and shows what was built.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VARN_BUILD:-$top/build}
bash "$top/tools/setup.sh"
cmake --build "$build" -j"$(nproc)"
echo "Built:"
find "$build" -maxdepth 2 -name '*.exe' -newer "$build/CMakeCache.txt" | sort
