#!/usr/bin/env bash
# File list benchmark: how long the control centre's file list dialog keeps the
# window from reacting on a large folder listing and on a file with many
# versions, filled now and filled as before, under Wine on an Xvfb display.
#   bash bench/file_list_fill_bench.sh [BUILD_FOLDER] [FILES] [VERSIONS]
# Defaults: build, 20000 files, 3000 versions. Not a test.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
files=${2:-20000}
versions=${3:-3000}

cmake --build "$build" --target file_list_fill_bench >/dev/null
program=$build/bench/file_list_fill_bench.exe

source "$top/bench/prefix.sh"
bench_display
bench_prefix "$build" bench-file-list-prefix

wine "$program" 'C:\files.trdb' "$files" "$versions" </dev/null
