#!/usr/bin/env bash
# The main window in a test process (tray_window_system_test.exe): the icon's
# record and the close box with no service installed, the start/stop caption
# against stand-in services. Then the control centre with no main window
# template: a box and a log line say so, and it ends with status 1 instead
# of waiting unseen.
. "$VARN_SYSTEM_LIB"
varn_xvfb
varn_begin tray_window
varn_virtual_desktop
machine=$(varn_c 'C:\ProgramData\Varnoke\VarnBack')
mkdir -p "$machine/Data" "$machine/Logs" "$(varn_c 'C:\varn')"
cp "$VARN_TRAY_WINDOW_SYSTEM_TEST" "$(varn_c 'C:\varn\tray_window_system_test.exe')"
cp "$VARN_TRAY_CORE_STUB_SERVICE" "$(varn_c 'C:\varn\stub_service.exe')"
cp "$VARN_TRAY_NO_WINDOW" "$(varn_c 'C:\varn\VarnBackupTray.exe')"

suite() {
  local name=$1 status=0; shift
  env "$@" wine 'C:\varn\tray_window_system_test.exe' --test-suite="$name" </dev/null >"$VARN_OUT/$name.txt" 2>&1 ||
    status=$?
  tr -d '\r' <"$VARN_OUT/$name.txt"
  [ $status -eq 0 ] || varn_fail "suite \"$name\" failed ($status)"
}
suite "main window"
suite "stub service" 'TRAY_WINDOW_STUB=C:\varn\stub_service.exe'

# No main window: the box, then the end with status 1 once it is pressed.
varn_wine 'C:\varn\VarnBackupTray.exe' </dev/null >"$VARN_OUT/no-window.txt" 2>&1 &
tray=$!
box=$(varn_wine "$VARN_GUI_DRIVER" msgbox "Varnoke Backup Centre" 30 </dev/null) ||
  varn_fail "no box about the missing window"
box=$(tr -d '\r' <<<"$box")
[ "$(head -1 <<<"$box")" = "The control centre could not open its window and will close." ] ||
  varn_fail "the box reads \"$box\""
[[ $(tail -n +2 <<<"$box") =~ ^Error\ [1-9][0-9]*:\ [^[:space:]].*$ ]] || varn_fail "the box gives no reason: \"$box\""
varn_wait_for 20 eval '! kill -0 "$tray" 2>/dev/null' || varn_fail "the control centre did not end after the box"
status=0
wait "$tray" || status=$?
[ "$status" = 1 ] || varn_fail "the control centre ended with $status, not 1"
log=$(tr -d '\r' <"$machine/Logs/VarnBackupGUILog.txt.0.txt")
reason=$(tail -n +2 <<<"$box")
grep -qF " WinMain() Could not create the main window. $reason" <<<"$log" ||
  varn_fail "the log has no line about the window: $log"
echo "tray_window: ok"
