#!/usr/bin/env bash
# Listing query benchmark: the control centre's folder listing, search and
# versions statements on a generated filelist table, under Wine, beside the
# listing statement it used before.
#   bash bench/listing_query_bench.sh [BUILD_FOLDER] [ENTRIES]
# Defaults: build, 200000 entries (about 700000 rows). Not a test.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
entries=${2:-200000}

cmake --build "$build" --target listing_query_bench >/dev/null
program=$build/bench/listing_query_bench.exe

source "$top/bench/prefix.sh"
bench_prefix "$build" bench-listing-prefix

wine "$program" 'C:\listing.trdb' "$entries" </dev/null
