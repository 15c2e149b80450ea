#!/usr/bin/env bash
# "Go!" and "View Versions" while a second connection (a program of its own, as
# the service is) holds the state database's write lock: the control centre
# waits a bounded time for it. A lock let go within that time: the listing
# opens with its rows. A lock held past it: a box says that the stored files
# could not be read, instead of a click that seems to do nothing. The first
# query meets the lock while compiling (the schema not read yet), the versions
# query while reading rows. No service is installed: the search needs none.
source "$(dirname "${BASH_SOURCE[0]}")/gui_lib.sh"
gui_begin gui_files_busy
varn_virtual_desktop  # each of its boxes shows at once, not after two seconds

sqlite3 "$GUI_DATA/SystemState2.trdb" "
  create table if not exists watchdirectories( directory text, user text );
  create table if not exists filelist( path text, user text, attributes sqlite3_uint64, parentid sqlite3_uint64,
    self_id sqlite3_uint64, modificationtime text, size sqlite3_uint64, volume_id sqlite3_uint64, localpath text);
  insert into filelist values('C:\docs\report.txt', ' ', 32, 7, 11, '20240301 100000.000', 10, 1124073472, 'u1');
  insert into filelist values('C:\docs\report.txt', ' ', 32, 7, 11, '20240302 100000.000', 20, 1124073472, 'u2');
  insert into filelist values('C:\docs\notes.txt', ' ', 32, 7, 12, '20240301 100000.000', 5, 1124073472, 'u3');" ||
  varn_fail "could not write the state database"

BOX="Varnoke Backup Centre"
BOX_TEXT="Could not read the stored files from the backup database. The service may be busy writing to it: try again in a moment."
FLAG='C:\lock-released'

# A second connection takes the write lock and keeps it until release.
lock() {
  rm -f "$(varn_c "$FLAG")" "$VARN_OUT/lock.txt"
  drv db-lock 'C:\ProgramData\Varnoke\VarnBack\Data\SystemState2.trdb' "$FLAG" 120 >"$VARN_OUT/lock.txt" 2>&1 &
  LOCK_PID=$!
  varn_wait_for 20 grep -q locked "$VARN_OUT/lock.txt" || varn_fail "no lock: $(cat "$VARN_OUT/lock.txt")"
}
release() {
  touch "$(varn_c "$FLAG")"
  wait "$LOCK_PID" || varn_fail "the lock was not let go: $(cat "$VARN_OUT/lock.txt")"
}
rows() { drv listview "$1" 1021 | tail -n +2 | cut -f"$2" | tr '\n' ' '; }

gui_start_tray
[ "$(drv msgbox BEEP 30)" = "Error: Could not access service (1060)" ] || varn_fail "no box about the missing service"
drv wait "$GUI_MAIN" 15 || varn_fail "no main window"
drv set-text "$GUI_MAIN" 1026 'report'

# Held past the wait: the box, and no file list.
lock
drv click "$GUI_MAIN" 2
drv wait "$BOX" 30 || varn_fail "Go! under a lock showed no box"
gui_shot busy
[ "$(drv msgbox "$BOX" 10)" = "$BOX_TEXT" ] || varn_fail "the box's text"
[ "$(drv count Dialog)" = 0 ] || varn_fail "a file list opened although nothing could be read"
release

# Let go within the wait: the listing opens with its rows.
lock
drv click "$GUI_MAIN" 2
sleep 1
release
drv wait Dialog 30 || varn_fail "Go! opened no file list after the lock was let go"
[ "$(rows Dialog 1,3,4)" = $'report.txt\t2\t20 bytes ' ] || varn_fail "listing: $(drv listview Dialog 1021)"
[ "$(drv count "$BOX")" = 0 ] || varn_fail "a box although the listing was read"

# The versions of an entry, held past the wait: the box, then the versions
# dialog with what was read (nothing).
drv listview-select Dialog 1021 0
gui_expect_text Dialog 4 "View Versions"
lock
drv click Dialog 4
[ "$(drv msgbox "$BOX" 30)" = "$BOX_TEXT" ] || varn_fail "View Versions under a lock showed no box"
drv wait "File Versions" 15 || varn_fail "no versions dialog after the box"
[ "$(rows "File Versions" 1-4)" = "" ] || varn_fail "versions read under a lock: $(drv listview "File Versions" 1021)"
release
drv click "File Versions" 2
drv wait-gone "File Versions" 10 || varn_fail "the versions dialog did not close"

# And without a lock, the versions as stored.
drv click Dialog 4
drv wait "File Versions" 15 || varn_fail "no versions dialog"
[ "$(rows "File Versions" 1-3)" = $'1\treport.txt\t20 bytes 2\treport.txt\t10 bytes ' ] ||
  varn_fail "versions: $(drv listview "File Versions" 1021)"
drv click "File Versions" 2
drv wait-gone "File Versions" 10 || varn_fail "the versions dialog did not close"
drv click Dialog 2
drv wait-gone Dialog 10 || varn_fail "the file list did not close"

# The log keeps the reason of each of the two failed reads.
[ "$(cat "$GUI_LOGS"/*.txt | grep -ac ' Could not read from the database: 5')" = 2 ] ||
  varn_fail "the log does not hold both failed reads"

gui_close_tray
echo "gui_files_busy: ok"
