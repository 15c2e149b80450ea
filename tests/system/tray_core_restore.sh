#!/usr/bin/env bash
# Restores asked for by the control centre's own request, carried out by the
# real service while it backs up the folder restored into.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/tray_core_lib.sh"
tc_begin tray_core_restore
cp "$VARN_VARNBACKUPSERVICE" "$(varn_c 'C:\varn\VarnBackupService.exe')"
varn_wine 'C:\varn\VarnBackupService.exe' -i </dev/null >"$VARN_OUT/install.txt" 2>&1 ||
  varn_fail "the service did not install: $(cat "$VARN_OUT/install.txt")"
for setting in 'Destination C:\dest' 'ScanInterval 0' 'MaxVersions 10'; do
  varn_wine reg add 'HKLM\Software\Varnoke\VarnBackup' /v "${setting%% *}" /t REG_SZ /d "${setting#* }" /f \
    </dev/null >/dev/null 2>&1 || varn_fail "could not set ${setting%% *}"
done
watched=$(varn_c 'C:\w')
mkdir -p "$watched" "$(varn_c 'C:\dest')"
head -c 1536 /dev/zero | tr '\0' a >"$watched/kb.bin"
touch -d '2024-05-01 08:00:00 UTC' "$watched/kb.bin"
printf 'axb' >"$watched/axb.txt"
printf 'alpha one' >"$watched/alpha.txt"
touch -d '2024-05-01 08:00:00 UTC' "$watched/alpha.txt"
sqlite3 "$TC_MACHINE/Data/SystemState2.trdb" \
  "create table if not exists watchdirectories( directory text, user text );
   insert into watchdirectories values('C:\\w', 'tester');" || varn_fail "could not write watchdirectories"
service_state() {
  varn_wine sc query VarnBack </dev/null 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'
}
varn_wine net start VarnBack </dev/null >/dev/null 2>&1
varn_wait_for 30 test "$(service_state)" = RUNNING || varn_fail "the service did not start"
status=0
( tc_run "restores" ) || status=$?
varn_wine net stop VarnBack </dev/null >/dev/null 2>&1
varn_wait_for 60 test "$(service_state)" = STOPPED || varn_fail "the service did not stop"
[ $status -eq 0 ] || varn_fail "the restores failed"
