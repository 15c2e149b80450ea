#!/usr/bin/env bash
# The main job: sets the machine up, builds VarnBack, and shows a backup and a
# restore by the real service under Wine's service control manager, in a Wine
# prefix of its own under the build folder. Nothing is left running.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VARN_BUILD:-$top/build}

say() { printf '\n== %s\n' "$*"; }
fail() { printf 'run: %s\n' "$*" >&2; exit 1; }

bash "$top/tools/setup.sh"
say "building"
cmake --build "$build" -j"$(nproc)"
service_exe=$build/service/VarnBackupService.exe
driver_exe=$build/tests/varn_service_driver.exe
[ -f "$service_exe" ] && [ -f "$driver_exe" ] || fail "the build made no service program"

# A prefix of this job's own, copied from the build's pristine one, and the
# files the job keeps for a look afterwards.
run=$build/run
export WINEPREFIX=$run/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
finish() {
  local status=$?
  if [ -d "$WINEPREFIX" ]; then
    # Stop and remove the service if an earlier step left it behind, then end the prefix's server.
    wine "$service_driver" stop VarnBack 60 </dev/null >/dev/null 2>&1 || true
    wine "$service_path" -u </dev/null >/dev/null 2>&1 || true
    wineserver -k >/dev/null 2>&1 || true
  fi
  exit $status
}
service_path='C:\Program Files\VarnBack\VarnBackupService.exe'
service_driver='C:\Program Files\VarnBack\service_driver.exe'
rm -rf "$run"
mkdir -p "$run"
cp -a "$build/wineprefix-template" "$WINEPREFIX"
# A real service keeps its database here: without the test prefixes' mark no
# test program will run in this prefix and wipe it.
rm -f "$WINEPREFIX/drive_c/varn-test-prefix.txt"
trap finish EXIT
# The server stays up between programs (a service ends with the last ordinary
# process of its prefix); Wine's background processes start with no pipes of ours.
wineserver -p </dev/null >/dev/null 2>&1 || true
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

c() { local p=${1#[Cc]:}; printf '%s/drive_c%s\n' "$WINEPREFIX" "${p//\\//}"; }
win() { wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
driver() { win "$service_driver" "$@"; }
wait_for() {
  local limit=$1; shift
  local end=$(( $(date +%s) + limit ))
  until "$@"; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.5
  done
}

say "installing the service in $WINEPREFIX"
machine=$(c 'C:\ProgramData\Varnoke\VarnBack')
mkdir -p "$machine/Data" "$machine/Logs" "$(c 'C:\Program Files\VarnBack')"
cp "$service_exe" "$(c "$service_path")"
cp "$driver_exe" "$(c "$service_driver")"
win "$service_path" -i
win "$service_path" -v

destination='C:\VarnBackDestination'
watched='C:\SampleDocuments'
restore='C:\Restored'
say "settings: destination $destination, a pass at every wake-up, 3 versions kept per file"
mkdir -p "$(c "$destination")"
for setting in "Destination|$destination" "ScanInterval|0" "MaxVersions|3"; do
  win reg add 'HKLM\Software\Varnoke\VarnBackup' /v "${setting%%|*}" /t REG_SZ /d "${setting#*|}" /f >/dev/null
done

say "sample folder $watched"
sample=$(c "$watched")
mkdir -p "$sample/letters"
printf 'Quarterly report, first draft.\n' >"$sample/report.txt"
printf 'Dear Ann,\nthank you for the photos.\n' >"$sample/letters/ann.txt"
head -c 300000 /dev/urandom >"$sample/holiday.jpg"
cp "$sample/report.txt" "$run/report-first-draft.txt"
(cd "$sample" && find . -type f | sort | sed 's|^\./|  |')

start_service() {
  win sc start VarnBack >/dev/null || true
  driver wait VarnBack 4 60 >/dev/null || fail "the service did not start"
}
stop_service() { driver stop VarnBack 120 >/dev/null || fail "the service did not stop"; }

say "starting the service and adding the folder through its control pipe"
start_service
[ "$(driver pipe "ADD FOLDER" "$watched"$'\t'"${USER:-$(id -un)}" --replies 1)" = OK ] || fail "ADD FOLDER was refused"
# The service reads its folder list when it starts.
stop_service
start_service
echo "  watched folders: $(driver pipe "LIST FOLDERS" "GET FOLDER" --replies 2 | tail -n1)"

database=$machine/Data/SystemState2.trdb
# The database copy at the destination, read from a snapshot (the service replaces it at every pass).
stored_query() {
  local copy
  copy=$(ls "$(c "$destination")"/VarnBack/*/SystemState2.trdb 2>/dev/null | head -n1) || return 1
  [ -n "$copy" ] && cp "$copy" "$run/snapshot.trdb" 2>/dev/null &&
    sqlite3 -readonly "$run/snapshot.trdb" "$1" 2>/dev/null
}
files_stored() { [ "$(stored_query "select count(*) from filelist where (attributes & 16) = 0")" = "$1" ]; }

say "first backup pass"
wait_for 60 files_stored 3 || fail "the first pass did not store the three files"
echo "  3 files stored"

say "editing report.txt; the next pass stores a second version"
# Written over the old text in one go, as an editor saving in place would.
printf 'Quarterly report, final version with figures.\n' | dd of="$sample/report.txt" conv=notrunc status=none
wait_for 60 files_stored 4 || fail "the second version of report.txt was not stored"

say "restoring the first draft of report.txt into $restore"
IFS='|' read -r self volume modified <<<"$(stored_query "select self_id, volume_id, modificationtime from filelist
  where path = '$watched\\report.txt' order by modificationtime limit 1")"
[ "$(driver pipe "RESTORE FILES" "$restore" 1 "$self" "$volume" "$modified" --wait-close)" = closed ] ||
  fail "the restore request was not served"
restored_win="$restore${watched#C:}\\report.txt"
restored=$(c "$restored_win")
cmp -s "$restored" "$run/report-first-draft.txt" || fail "the restored copy is not the first draft"

say "stopping the service"
stop_service
# The next run of the program starts a new log: keep this run's.
wait_for 30 grep -q "Stopping service" "$machine/Logs/VarnBackupService.0.txt" || true
cp "$machine/Logs/VarnBackupService.0.txt" "$run/service-log.txt"
folder=$(ls -d "$(c "$destination")"/VarnBack/*/ | head -n1)
computer=$(basename "$folder")

say "what was done"
echo "Files stored: $(sqlite3 -readonly "$database" "select count(distinct self_id) || ' files, ' || count(*) || ' versions'
  from filelist where (attributes & 16) = 0")"
echo "Stored versions (state database $database):"
sqlite3 -readonly -separator '  ' "$database" "select modificationtime, size, path, localpath from filelist
  where (attributes & 16) = 0 order by path, modificationtime" | sed 's/^/  /'
echo "Versions per file:"
sqlite3 -readonly "$database" "select min(path), count(*) from filelist where (attributes & 16) = 0
  group by self_id order by 1" | sed 's/|/: /; s/^/  /'
echo "Stored copies: $destination\\VarnBack\\$computer"
echo "  on this machine: $folder ($(find "$folder" -maxdepth 1 -type f | wc -l) files, the database copy among them)"
echo "Restored first draft: $restored_win"
echo "  on this machine: $restored"
echo "  content: $(cat "$restored")"
echo "Logs: C:\\ProgramData\\Varnoke\\VarnBack\\Logs, on this machine $machine/Logs"
echo "  (a log in use elsewhere makes the program write to $machine/Logstemp)"
echo "  the service run's log, kept: $run/service-log.txt"

say "removing the service"
win "$service_path" -u
wineserver -k >/dev/null 2>&1 || true
trap - EXIT
echo
echo "Done. The job's Wine prefix stays in $WINEPREFIX for a look; nothing is left running."
