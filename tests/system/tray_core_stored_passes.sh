#!/usr/bin/env bash
# The stored-file queries on a state database filled by real backup passes:
# a folder with siblings sharing its name's prefix, a file renamed and then
# changed, a file stamped 23:59:59 UTC on 31 January shown one hour ahead.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/tray_core_lib.sh"
tc_begin tray_core_stored_passes
tc_install_service
tc_backup_settings
watched=$(varn_c 'C:\w')
dest=$(varn_c 'C:\dest')
mkdir -p "$watched/Data" "$watched/Data2"
printf 'version 1\n' >"$watched/Data/report.txt"
touch -d '2024-03-01 10:00:00 UTC' "$watched/Data/report.txt"
printf 'two\n' >"$watched/Data2/c.txt"
printf 'data' >"$watched/Database.txt"
touch -d '2024-01-31 23:59:59 UTC' "$watched/Database.txt"
tc_watch 'C:\w'

# The destination's copy of the database, so that polling never locks the live one.
stored() {
  local copy
  copy=$(ls "$dest"/VarnBack/*/SystemState2.trdb 2>/dev/null | head -n1)
  [ -n "$copy" ] && cp "$copy" "$VARN_OUT/snapshot.trdb" 2>/dev/null &&
    sqlite3 -readonly "$VARN_OUT/snapshot.trdb" "select count(*) from filelist where path = '$1'" 2>/dev/null |
    grep -qx '[1-9][0-9]*'
}

varn_wine net start VarnBack </dev/null >/dev/null 2>&1
varn_wait_for 30 test "$(tc_service_state)" = RUNNING || varn_fail "the service did not start"
varn_wait_for 60 stored 'C:\w\Data\report.txt' || varn_fail "no pass stored report.txt"
varn_wait_for 30 stored 'C:\w\Database.txt' || varn_fail "no pass stored Database.txt"
# Renamed, then changed: the newest version carries the new name.
mv "$watched/Data/report.txt" "$watched/Data/renamed.txt"
printf 'version 22\n' >"$watched/Data/renamed.txt"
varn_wait_for 60 stored 'C:\w\Data\renamed.txt' || varn_fail "no pass stored renamed.txt"
size_stored() {
  stored 'C:\w\Data\renamed.txt' &&
    [ "$(sqlite3 -readonly "$VARN_OUT/snapshot.trdb" "select max(size) from filelist where path = 'C:\\w\\Data\\renamed.txt'")" = 11 ]
}
varn_wait_for 60 size_stored || varn_fail "no pass stored the changed renamed.txt"
varn_wine net stop VarnBack </dev/null >/dev/null 2>&1
varn_wait_for 60 test "$(tc_service_state)" = STOPPED || varn_fail "the service did not stop"

tc_run "stored passes" TZ=Etc/GMT-1 LC_ALL=en_GB.UTF-8
