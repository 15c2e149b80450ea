#!/usr/bin/env bash
# Restore benchmark: one RESTORE FILES request of every stored version of a
# tree, served by the real restore code under Wine, with the state database
# holding only the tree's rows and again with rows of other files added,
# against Wine's xcopy /E over the same tree. Each is timed ROUNDS times, each
# time into an empty folder, and the quickest counts.
#   bash bench/restore_bench.sh [BUILD_FOLDER] [FILES] [OTHER_ROWS] [ROUNDS]
# Defaults: build/win64 when it exists, else build; 1000 files in folders of 25
# (8 KB each on average); 30000 other rows; 3 rounds. Not a test.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
default_build=$top/build
[ -d "$top/build/win64" ] && default_build=$top/build/win64
build=$(cd "${1:-$default_build}" && pwd)
files=${2:-1000}
other_rows=${3:-30000}
rounds=${4:-3}

cmake --build "$build" --target restore_bench >/dev/null
program=$build/bench/restore_bench.exe

source "$top/bench/prefix.sh"
bench_prefix "$build" bench-restore-prefix

root=$WINEPREFIX/drive_c/bench
# The destination folder exists, as a user's would: only the folders below it are made.
mkdir -p "$root/dest"
python3 - "$root/src" "$files" <<'PYTHON'
import os, random, sys
root, files = sys.argv[1], int(sys.argv[2])
random.seed(7)
chunk = os.urandom(64 * 1024)
for i in range(files):
    folder = os.path.join(root, "folder%03d" % (i // 25))
    os.makedirs(folder, exist_ok=True)
    size = random.randint(1, 16 * 1024 - 1)
    start = random.randint(0, len(chunk) - size)
    with open(os.path.join(folder, "file%04d.dat" % i), "wb") as out:
        out.write(chunk[start:start + size])
PYTHON
sync
echo "tree: $files files in $(( (files + 24) / 25 )) folders, $(( $(du -sb "$root/src" | cut -f1) / 1024 )) KB"

seconds() { local s=$(date +%s.%N); "$@" >/dev/null 2>&1; echo "$(date +%s.%N) - $s" | bc -l; }
quicker() { echo "if ($1 < $2) $1 else $2" | bc -l; }

out=$build/bench/restore_bench.out
wine "$program" 'C:\bench\src' 'C:\bench\dest' 'C:\bench\restored' 'C:\bench\restored-rows' "$other_rows" \
  "$rounds" </dev/null | tr -d '\r' >"$out"
cat "$out"
value() { awk -v k="$1" '$1 == k { print $2 }' "$out"; }
alone=$(value restore_alone)
with_rows=$(value restore_with_others)
xcopy=
for round in $(seq 1 "$rounds"); do
  took=$(seconds wine xcopy /E /I /Q /Y 'C:\bench\src' "C:\\bench\\xcopy\\$round")
  echo "xcopy_round$round $took"
  xcopy=$(quicker "${xcopy:-$took}" "$took")
done

# Every restore put the whole tree back, byte for byte.
for restored in "$root"/restored/* "$root"/restored-rows/*; do
  diff -r "$root/src" "$restored/bench/src" >/dev/null || echo "the tree in $restored differs from the source"
done

printf '\n%-34s %9s\n' "case (quickest of $rounds)" seconds
printf '%-34s %9.2f\n' "restore, $(value rows_alone) rows" "$alone"
printf '%-34s %9.2f\n' "restore, $(value rows_with_others) rows" "$with_rows"
printf '%-34s %9.2f\n' "xcopy /E" "$xcopy"
printf '\n%-34s %9.2f   (bound 1.3)\n' "with other rows / without" "$(echo "$with_rows / $alone" | bc -l)"
printf '%-34s %9.2f   (bound 3)\n' "restore / xcopy /E" "$(echo "$alone / $xcopy" | bc -l)"
