#!/usr/bin/env bash
# Backup pass benchmark: a first pass and a pass without change of the real
# watcher code under Wine, against Wine's xcopy (/E, then /E /D) and Linux
# cp -a (then cp -a -u) over the same generated tree.
#   bash bench/backup_pass_bench.sh [BUILD_FOLDER] [FILES] [MEAN_KB]
# Defaults: build-backup, 5000 files, 48 KB mean (about 240 MB). Not a test.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$top/build-backup}" && pwd)
files=${2:-5000}
mean_kb=${3:-48}

cmake --build "$build" --target backup_pass_bench >/dev/null
program=$build/bench/backup_pass_bench.exe

source "$top/bench/prefix.sh"
bench_prefix "$build" bench-prefix

root=$WINEPREFIX/drive_c/bench
# The destination folder exists, as a user's would: only the folders below it are made.
mkdir -p "$root/dest"
echo "generating $files files of about $mean_kb KB on average"
python3 - "$root/src" "$files" "$mean_kb" <<'EOF'
import os, random, sys
root, files, mean = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) * 1024
random.seed(7)
chunk = os.urandom(4 * mean)
for i in range(files):
    # 20 folders of 10 sub-folders each, 25 files in each of those
    folder = os.path.join(root, "folder%02d" % (i * 20 // files), "sub%d" % (i // 25 % 10))
    os.makedirs(folder, exist_ok=True)
    size = random.randint(1, 2 * mean - 1)
    start = random.randint(0, len(chunk) - size)
    with open(os.path.join(folder, "file%04d.dat" % i), "wb") as out:
        out.write(chunk[start:start + size])
EOF
sync
bytes=$(du -sb "$root/src" | cut -f1)
echo "tree: $files files, $((bytes / 1048576)) MB"

seconds() { local s=$(date +%s.%N); "$@" >/dev/null 2>&1; echo "$(date +%s.%N) - $s" | bc -l; }

echo "running the watcher passes"
wine "$program" 'C:\bench\src' 'C:\bench\dest' </dev/null | tr -d '\r' >"$build/bench/backup_pass_bench.out"
cat "$build/bench/backup_pass_bench.out"
value() { awk -v k="$1" '$1 == k { print $2 }' "$build/bench/backup_pass_bench.out"; }
first=$(value first_pass)
unchanged=$(value unchanged_pass)

xcopy_first=$(seconds wine xcopy /E /I /Q /Y 'C:\bench\src' 'C:\bench\xcopy')
xcopy_again=$(seconds wine xcopy /E /I /Q /Y /D 'C:\bench\src' 'C:\bench\xcopy')
cp_first=$(seconds cp -a "$root/src" "$root/cp")
cp_again=$(seconds cp -a -u "$root/src/." "$root/cp")

rate() { echo "$files / $1" | bc -l; }
printf '\n%-22s %9s %12s %10s %10s\n' case seconds files/s vs_xcopy vs_cp
printf '%-22s %9.2f %12.0f %10.2f %10.2f\n' "first pass" "$first" "$(rate "$first")" \
  "$(echo "$first / $xcopy_first" | bc -l)" "$(echo "$first / $cp_first" | bc -l)"
printf '%-22s %9.2f %12.0f %10.2f %10.2f\n' "pass without change" "$unchanged" "$(rate "$unchanged")" \
  "$(echo "$unchanged / $xcopy_again" | bc -l)" "$(echo "$unchanged / $cp_again" | bc -l)"
printf '%-22s %9.2f %12.0f\n' "xcopy /E" "$xcopy_first" "$(rate "$xcopy_first")"
printf '%-22s %9.2f %12.0f\n' "xcopy /E /D" "$xcopy_again" "$(rate "$xcopy_again")"
printf '%-22s %9.2f %12.0f\n' "cp -a" "$cp_first" "$(rate "$cp_first")"
printf '%-22s %9.2f %12.0f\n' "cp -a -u" "$cp_again" "$(rate "$cp_again")"
