# Sourced by the tray_core system tests after lib.sh.
#   tc_begin NAME        display, test prefix, the per-machine Data and Logs folders
#   tc_install_service   the real service, installed from C:\varn
#   tc_backup_settings   a destination C:\dest, a pass at every wake-up, 10 versions
#   tc_watch FOLDER      FOLDER in watchdirectories, for the service's next start
#   tc_service_state     the service's state word (RUNNING, STOPPED, ...)
#   tc_run SUITE [NAME=VALUE...]
#                        the suite of tray_core_system_test.exe with those variables
#                        set for it; fails the test when it fails
tc_begin() {
  # The display first: Wine's desktop process keeps the display it found at the
  # prefix's first program.
  varn_xvfb
  varn_begin "$1"
  varn_virtual_desktop
  TC_MACHINE=$(varn_c 'C:\ProgramData\Varnoke\VarnBack')
  mkdir -p "$TC_MACHINE/Data" "$TC_MACHINE/Logs" "$(varn_c 'C:\varn')"
  cp "$VARN_TRAY_CORE_SYSTEM_TEST" "$(varn_c 'C:\varn\tray_core_system_test.exe')"
}

tc_run() {
  local suite=$1; shift
  env "$@" wine 'C:\varn\tray_core_system_test.exe' --test-suite="$suite" --duration=true </dev/null \
    >"$VARN_OUT/$suite.txt" 2>&1
  local status=$?
  tr -d '\r' <"$VARN_OUT/$suite.txt"
  [ $status -eq 0 ] || varn_fail "suite \"$suite\" failed ($status)"
}

tc_install_service() {
  cp "$VARN_VARNBACKUPSERVICE" "$(varn_c 'C:\varn\VarnBackupService.exe')"
  varn_wine 'C:\varn\VarnBackupService.exe' -i </dev/null >"$VARN_OUT/install.txt" 2>&1 ||
    varn_fail "the service did not install: $(cat "$VARN_OUT/install.txt")"
}

tc_backup_settings() {
  local setting
  for setting in 'Destination C:\dest' 'ScanInterval 0' 'MaxVersions 10'; do
    varn_wine reg add 'HKLM\Software\Varnoke\VarnBackup' /v "${setting%% *}" /t REG_SZ /d "${setting#* }" /f \
      </dev/null >"$VARN_OUT/reg.txt" 2>&1 ||
      varn_fail "could not set ${setting%% *} (status $?): $(tr -d '\r' <"$VARN_OUT/reg.txt")"
  done
  mkdir -p "$(varn_c 'C:\dest')"
}

tc_watch() {
  sqlite3 "$TC_MACHINE/Data/SystemState2.trdb" \
    "create table if not exists watchdirectories( directory text, user text );
     insert into watchdirectories values('$1', 'tester');" || varn_fail "could not write watchdirectories"
}

tc_service_state() {
  varn_wine sc query VarnBack </dev/null 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'
}
