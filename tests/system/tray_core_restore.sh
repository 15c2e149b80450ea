#!/usr/bin/env bash
# Restores asked for by the control centre's own request, carried out by the
# real service while it backs up the folder restored into.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/tray_core_lib.sh"
tc_begin tray_core_restore
tc_install_service
tc_backup_settings
watched=$(varn_c 'C:\w')
mkdir -p "$watched"
head -c 1536 /dev/zero | tr '\0' a >"$watched/kb.bin"
touch -d '2024-05-01 08:00:00 UTC' "$watched/kb.bin"
printf 'axb' >"$watched/axb.txt"
printf 'alpha one' >"$watched/alpha.txt"
touch -d '2024-05-01 08:00:00 UTC' "$watched/alpha.txt"
tc_watch 'C:\w'
varn_wine net start VarnBack </dev/null >/dev/null 2>&1
varn_wait_for 30 test "$(tc_service_state)" = RUNNING || varn_fail "the service did not start"
status=0
( tc_run "restores" ) || status=$?
varn_wine net stop VarnBack </dev/null >/dev/null 2>&1
varn_wait_for 60 test "$(tc_service_state)" = STOPPED || varn_fail "the service did not stop"
[ $status -eq 0 ] || varn_fail "the restores failed"
