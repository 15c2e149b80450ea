#!/usr/bin/env bash
# The service as a user runs it: installed from the command line, started and
# stopped through the service control manager, a folder added through the
# control pipe, files backed up, changed, renamed and deleted across passes, a
# version restored, and the service removed again.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/service_lib.sh"
svc_begin service_backup

watched=$(varn_c 'C:\watched')
dest=$(varn_c 'C:\dest')
mkdir -p "$watched/sub" "$dest" "$VARN_OUT/staging"
svc_setting Destination 'C:\dest'
svc_setting ScanInterval 0
svc_setting MaxVersions 10

# The state database as the last pass copied it to the destination. The copy
# is replaced at every pass, so it is read from a snapshot, retried by callers.
dest_query() {
  local copy
  copy=$(ls "$dest"/VarnBack/*/SystemState2.trdb 2>/dev/null | head -n1)
  [ -n "$copy" ] && cp "$copy" "$VARN_OUT/snapshot.trdb" 2>/dev/null &&
    sqlite3 -readonly "$VARN_OUT/snapshot.trdb" "$1" 2>/dev/null
}
# The service's own database; read only while the service is stopped.
local_query() { sqlite3 -readonly "$SVC_DATA/SystemState2.trdb" "$1"; }
dest_query_is() { [ "$(dest_query "$1")" = "$2" ]; }
log_has() { case $(svc_log) in *"$1"*) return 0 ;; esac; return 1; }
linux_path() { varn_c "${1#\\\\?\\}"; }  # \\?\C:\x -> the prefix's file

svc_run -i
expect_eq "-i" "$SVC_OUTPUT" "VarnBack installed"
svc_run -v
expect_eq "-v" "$SVC_OUTPUT" "VarnBack Version 1.0
The service is currently installed"

# First run: no folders yet. The folder added now is scanned from the next start.
svc_start
expect_eq "ADD FOLDER" "$(svc_pipe "ADD FOLDER" $'C:\\watched\tann' --replies 1)" "OK"
expect_eq "LIST FOLDERS before a restart" "$(svc_pipe "LIST FOLDERS" --replies 1)" "0"
svc_stop
expect_stop_sequence
log=$(svc_log)
expect_order "first run log" "$log" " Starting service" " Service Control Thread() Entry" \
  " There're 0 folders to scan" " Service Control Thread()() Exit" " Stopping service"
expect_order "first run: pipe server ended first" "$log" " ClientControl() Standard Exit" \
  " Service Control Thread()() Exit"
expect_order "first run: watcher ended first" "$log" " DirectoryWatcher exit" " Service Control Thread()() Exit"
expect_eq "watched folder row" "$(local_query "select directory || '|' || user from watchdirectories")" 'C:\watched|ann'

svc_start
expect_eq "LIST FOLDERS after the restart" "$(svc_pipe "LIST FOLDERS" "GET FOLDER" --replies 2)" '1
C:\watched'

# Files appear whole (moved in from a staging folder), as a program saving them would leave them.
printf 'first version of a\n' >"$VARN_OUT/staging/a.txt"
head -c 200000 /dev/urandom >"$VARN_OUT/staging/b.bin"
printf 'caf\xc3\xa9 notes\n' >"$VARN_OUT/staging/c dé.txt"
cp "$VARN_OUT/staging/a.txt" "$VARN_OUT/a.v1"
mv "$VARN_OUT/staging/a.txt" "$VARN_OUT/staging/c dé.txt" "$watched/"
mv "$VARN_OUT/staging/b.bin" "$watched/sub/"

files_sql="select path from filelist where (attributes & 16) = 0 order by path"
varn_wait_for 60 dest_query_is "$files_sql" 'C:\watched\a.txt
C:\watched\c dé.txt
C:\watched\sub\b.bin' || varn_fail "the first pass stored: $(dest_query "$files_sql")"

machine=$(ls -d "$dest"/VarnBack/*/ | head -n1)
[ -n "$machine" ] || varn_fail "no machine folder under the destination"
# Every stored version is a UUID-named, byte-identical copy in the machine folder.
check_copies() {
  local rows path localpath stored
  rows=$(dest_query "select path || '|' || localpath from filelist where (attributes & 16) = 0 and path = '$1'")
  [ -n "$rows" ] || varn_fail "no row for $1"
  while IFS='|' read -r path localpath; do
    stored=$(linux_path "$localpath")
    [[ $(basename "$stored") =~ ^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$ ]] ||
      varn_fail "stored name of $path is not a UUID: $localpath"
    expect_eq "stored copy of $path lies in the machine folder" "$(dirname "$stored")/" "$machine"
    [ -f "$stored" ] || varn_fail "stored copy of $path is missing: $localpath"
  done <<<"$rows"
}
for f in a.txt 'c dé.txt' sub/b.bin; do
  check_copies "C:\\watched\\${f//\//\\}"
  stored=$(linux_path "$(dest_query "select localpath from filelist where path = 'C:\\watched\\${f//\//\\}'")")
  cmp -s "$watched/$f" "$stored" || varn_fail "the stored copy of $f differs"
done
[ -f "$machine/SystemState2.trdb" ] || varn_fail "no database copy in the machine folder"

# Edit, rename and delete; the next passes store a new version of the edited
# file, a new row for the renamed one, and keep the rows of the deleted one.
self_of() { dest_query "select distinct self_id from filelist where path = '$1'"; }
a_id=$(self_of 'C:\watched\a.txt')
b_id=$(self_of 'C:\watched\sub\b.bin')
# One write over the old bytes, longer than them: no pass can see the file emptied.
printf 'second, longer version of a\n' | dd of="$watched/a.txt" conv=notrunc status=none
mv "$watched/sub/b.bin" "$watched/sub/b2.bin"
rm "$watched/c dé.txt"
varn_wait_for 60 dest_query_is "select count(*) from filelist where self_id = $a_id" 2 ||
  varn_fail "no second version of a.txt: $(dest_query "select path, modificationtime from filelist")"
varn_wait_for 60 dest_query_is "select self_id from filelist where path = 'C:\\watched\\sub\\b2.bin'" "$b_id" ||
  varn_fail "the renamed file got no row of its own: $(dest_query "select path, self_id from filelist")"
varn_wait_for 60 log_has 'File C:\watched\c dé.txt was deleted' || varn_fail "the deletion was not seen"
check_copies 'C:\watched\a.txt'
check_copies 'C:\watched\sub\b2.bin'
newest_a=$(linux_path "$(dest_query "select localpath from filelist where self_id = $a_id order by modificationtime desc limit 1")")
cmp -s "$watched/a.txt" "$newest_a" || varn_fail "the newest stored version of a.txt differs"

# Restore the first version of a.txt, as the control centre asks for it.
IFS='|' read -r v_self v_volume v_time <<<"$(dest_query "select self_id, volume_id, modificationtime from filelist
  where self_id = $a_id order by modificationtime limit 1")"
expect_eq "RESTORE FILES" "$(svc_pipe "RESTORE FILES" 'C:\restore' 1 "$v_self" "$v_volume" "$v_time" --wait-close)" closed
restored=$(varn_c 'C:\restore\watched\a.txt')
cmp -s "$VARN_OUT/a.v1" "$restored" || varn_fail "the restored version differs from the first version of a.txt"

svc_stop
expect_stop_sequence
log=$(svc_log)
expect_order "second run log" "$log" " There're 1 folders to scan" " Service Control Thread()() Exit" " Stopping service"
expect_order "second run: pipe server ended first" "$log" " ClientControl() Standard Exit" " Service Control Thread()() Exit"
expect_order "second run: watcher ended first" "$log" " DirectoryWatcher exit" " Service Control Thread()() Exit"

# One row per stored version, each with a copy of its own; the deleted file's row stays.
expect_eq "versions per file" "$(local_query "select min(path) || '|' || count(*) from filelist where (attributes & 16) = 0
  group by self_id order by min(path)")" 'C:\watched\a.txt|2
C:\watched\c dé.txt|1
C:\watched\sub\b.bin|2'
expect_eq "one stored copy per row" "$(local_query "select count(distinct localpath) = count(*) from filelist
  where (attributes & 16) = 0")" 1
uuid_files=$(find "$machine" -maxdepth 1 -type f -regextype posix-extended \
  -regex '.*/[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}' | wc -l)
expect_eq "stored copies in the machine folder" "$uuid_files" "$(local_query "select count(*) from filelist where (attributes & 16) = 0")"
# The destination's database copy holds what the service's own database holds.
all_rows="select path, user, attributes, parentid, self_id, modificationtime, size, volume_id, localpath from filelist order by rowid"
expect_eq "database copy" "$(sqlite3 -readonly "$machine/SystemState2.trdb" "$all_rows")" "$(local_query "$all_rows")"

svc_run -u
expect_eq "-u" "$SVC_OUTPUT" "VarnBack removed. (You must delete the file ($SVC_EXE) yourself.)"
wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VarnBack' >/dev/null 2>&1 ||
  varn_fail "-u removed the event-log source"
echo "service backup: ok"
