#!/usr/bin/env bash
# Stops that must lose nothing: a stop while a large file is being copied lets
# the copy finish and keeps its row and is reported as a clean stop; and a
# service whose state database cannot be opened stops by itself, reports a
# failed start and has the reason in its log.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/service_lib.sh"
svc_begin service_stop

watched=$(varn_c 'C:\watched')
dest=$(varn_c 'C:\dest')
mkdir -p "$watched" "$dest" "$VARN_OUT/staging"
svc_setting Destination 'C:\dest'
svc_setting ScanInterval 0
local_query() { sqlite3 -readonly "$SVC_DATA/SystemState2.trdb" "$1"; }
dest_query() {
  local copy
  copy=$(ls "$dest"/VarnBack/*/SystemState2.trdb 2>/dev/null | head -n1)
  [ -n "$copy" ] && cp "$copy" "$VARN_OUT/snapshot.trdb" 2>/dev/null &&
    sqlite3 -readonly "$VARN_OUT/snapshot.trdb" "$1" 2>/dev/null
}
dest_query_is() { [ "$(dest_query "$1")" = "$2" ]; }

svc_run -i
svc_start
expect_eq "ADD FOLDER" "$(svc_pipe "ADD FOLDER" $'C:\\watched\tann' --replies 1)" "OK"
machine_folder() { ls -d "$dest"/VarnBack/*/ 2>/dev/null | head -n1 | grep .; }
varn_wait_for 30 machine_folder >/dev/null || varn_fail "no pass made the machine folder"
svc_stop
computer=$(basename "$(ls -d "$dest"/VarnBack/*/ | head -n1)")
[ -n "$computer" ] || varn_fail "no machine folder under the destination"

# A file large enough that its copy is still under way when the stop arrives:
# mostly a hole, with random blocks at both ends and in the middle.
size=600000000
big=$VARN_OUT/staging/big.bin
truncate -s $size "$big"
for offset in 0 300 571; do
  head -c 1000000 /dev/urandom | dd of="$big" bs=1M seek=$offset conv=notrunc status=none
done
printf 'small\n' >"$VARN_OUT/staging/small.txt"
mv "$big" "$VARN_OUT/staging/small.txt" "$watched/"

svc_start
svc_stop "C:\\dest\\VarnBack\\$computer" $size
stopped=$(cat "$VARN_OUT/stop.txt")
cp "$VARN_OUT/stop.txt" "$VARN_OUT/stop-during-copy.txt"
expect_stop_sequence
at_stop=$(sed -n 's/^copy-size-at-stop=//p' <<<"$stopped")
at_stopped=$(sed -n 's/^copy-size-at-stopped=//p' <<<"$stopped")
[ -n "$at_stop" ] && [ "$at_stop" -lt $size ] || varn_fail "the stop did not come during the copy: $stopped"
expect_eq "size of the copy once STOPPED was reported" "$at_stopped" $size

log=$(svc_log)
expect_order "log of the stop during a copy" "$log" 'Copied file "C:\watched\big.bin"' \
  " Service Control Thread()() Exit" " Stopping service"
expect_lacks "log of the stop during a copy" "$log" "Aborting file copy"
row=$(local_query "select size || '|' || localpath from filelist where path = 'C:\\watched\\big.bin'")
expect_eq "rows of the large file" "$(wc -l <<<"$row")" 1
expect_eq "recorded size of the large file" "${row%%|*}" $size
localpath=${row#*|}
stored=$(varn_c "${localpath#'\\?\'}")
cmp -s "$watched/big.bin" "$stored" || varn_fail "the copy finished during the stop differs from its source"

# Nothing was lost: the next run stores what the stopped pass did not reach,
# and does not store the large file again.
svc_start
varn_wait_for 60 dest_query_is "select count(*) from filelist where path = 'C:\\watched\\small.txt'" 1 ||
  varn_fail "small.txt was not stored after the restart"
svc_stop
# A stop through the service control manager is a clean stop.
varn_wait_for 30 grep -q "Stopping service" "$SVC_LOGS/VarnBackupService.0.txt" ||
  varn_fail "the stopped service did not finish"
expect_contains "status after a stop" "$(svc_driver status "$SVC_NAME")" "state=1 checkpoint=2 waithint=0 exit=0 specific=0"
expect_eq "rows of the large file after the restart" \
  "$(local_query "select count(*) from filelist where path = 'C:\\watched\\big.bin'")" 1

# Without its Data folder the service cannot open the database and stops by
# itself: a failed start, ERROR_SERVICE_SPECIFIC_ERROR with the database
# library's result (14, the file could not be opened), not a clean stop.
rm -rf "$SVC_DATA"
wine sc start "$SVC_NAME" </dev/null >/dev/null 2>&1
stopped=$(svc_driver wait "$SVC_NAME" 1 60) || varn_fail "the service without a database did not stop"
expect_contains "status without a database" "$stopped" "state=1 checkpoint=0 waithint=0 exit=1066 specific=14"
varn_wait_for 30 grep -q "Stopping service" "$SVC_LOGS/VarnBackupService.0.txt" ||
  varn_fail "the service without a database did not finish: $(svc_log)"
log=$(svc_log)
expect_order "log without a database" "$log" " Starting service" " Service Control Thread() Entry" \
  " Could not open database. Error code 14: \"unable to open database file\"" " Stopping service"
expect_lacks "log without a database" "$log" "folders to scan"
expect_lacks "log without a database" "$log" "Service Control Thread()() Exit"
[ -e "$SVC_DATA" ] && varn_fail "the service made the Data folder"
svc_run -u
echo "service stop: ok"
