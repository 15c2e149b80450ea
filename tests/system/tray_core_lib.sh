# Sourced by the tray_core system tests after lib.sh.
#   tc_begin NAME        display, test prefix, the per-machine Data and Logs folders
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
