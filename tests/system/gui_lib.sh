# Sourced by the control centre's GUI tests after lib.sh: the real programs
# under Xvfb, driven by gui_driver.exe. Every wait has a limit.
#
#   gui_begin NAME            test prefix, output folder, display, machine folders
#   drv ARGS...               run the driver (see gui_driver.cpp for its commands)
#   gui_settings NAME VALUE   a REG_SZ backup setting
#   gui_watch FOLDER...       rows of watchdirectories, written before the service first starts
#   gui_start_service         install and start VarnBack; waits until it runs
#   gui_service_state         prints RUNNING, STOPPED, ...
#   gui_start_tray            starts VarnBackupTray.exe (does not wait for its window)
#   gui_expect_text CAPTION ID TEXT [SECONDS]
#   gui_stored SQL            runs SQL on the destination's copy of the state database
#   gui_shot NAME             screenshot into $VARN_OUT/NAME.png
#   gui_close_tray            presses "Close" and waits for the program to end with 0
#   gui_close_box             Alt+F4 on the main window, as the close box: waits for the end with 0
#   gui_tray_click BUTTON N   N real clicks (xdotool) of mouse BUTTON (1 left, 3 right) on the icon
#   gui_tray_shown            succeeds while Wine's system tray window shows, that is while it holds an icon
#   gui_tray_shot NAME        screenshot of that window alone into $VARN_OUT/NAME.png

source "$VARN_SYSTEM_LIB"

GUI_MAIN="Varnoke Backup Control Centre"

# A failing GUI test leaves a picture of the screen beside its output.
varn_fail() {
  echo "FAIL: $*" >&2
  [ -n "${DISPLAY:-}" ] && [ -n "${VARN_OUT:-}" ] && import -window root "$VARN_OUT/failure.png" 2>"$VARN_OUT/failure-shot.txt"
  exit 1
}

gui_begin() {
  # The display first: Wine's desktop process starts with the prefix's first
  # program, inside varn_begin, and keeps the display it found then.
  varn_xvfb
  varn_begin "$1"
  GUI_DATA=$(varn_c 'C:\ProgramData\Varnoke\VarnBack\Data')
  GUI_LOGS=$(varn_c 'C:\ProgramData\Varnoke\VarnBack\Logs')
  mkdir -p "$GUI_DATA" "$GUI_LOGS"
  GUI_TRAY_PID=
}

drv() {
  varn_wine "$VARN_GUI_DRIVER" "$@" </dev/null
}

gui_settings() {
  varn_wine reg add 'HKLM\Software\Varnoke\VarnBackup' /v "$1" /t REG_SZ /d "$2" /f </dev/null >/dev/null 2>&1 ||
    varn_fail "could not set $1"
}

gui_watch() {
  local folder sql="create table if not exists watchdirectories( directory text, user text );"
  for folder in "$@"; do sql+=" insert into watchdirectories values('$folder', 'tester');"; done
  sqlite3 "$GUI_DATA/SystemState2.trdb" "$sql" || varn_fail "could not write watchdirectories"
}

gui_service_state() {
  varn_wine sc query VarnBack </dev/null 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'
}

gui_start_service() {
  varn_wine "$VARN_VARNBACKUPSERVICE" -i </dev/null >"$VARN_OUT/install.txt" 2>&1 || varn_fail "service install"
  varn_wine net start VarnBack </dev/null >/dev/null 2>&1
  varn_wait_for 30 test "$(gui_service_state)" = RUNNING || varn_fail "the service did not start"
}

gui_start_tray() {
  varn_wine "$VARN_VARNBACKUPTRAY" </dev/null >"$VARN_OUT/tray.txt" 2>&1 &
  GUI_TRAY_PID=$!
}

gui_text_is() {
  [ "$(drv text "$1" "$2" 2>/dev/null)" = "$3" ]
}

gui_expect_text() {
  varn_wait_for "${4:-10}" gui_text_is "$1" "$2" "$3" ||
    varn_fail "control $2 of \"$1\" reads \"$(drv text "$1" "$2" 2>&1)\", not \"$3\""
}

# The service rewrites its copy after every pass; a read that meets a copy
# being written fails and is tried again.
gui_stored_once() {
  local copy
  copy=$(ls "$(varn_c 'C:\dest\VarnBack')"/*/SystemState2.trdb 2>/dev/null | head -1)
  [ -n "$copy" ] || return 1
  cp "$copy" "$VARN_OUT/stored.trdb" 2>/dev/null || return 1
  sqlite3 -readonly "$VARN_OUT/stored.trdb" "$1" 2>/dev/null
}

gui_stored() {
  local i out
  for i in $(seq 1 25); do
    if out=$(gui_stored_once "$1"); then printf '%s\n' "$out"; return 0; fi
    sleep 0.2
  done
  return 1
}

gui_shot() {
  import -window root "$VARN_OUT/$1.png" || varn_fail "no screenshot"
}

gui_tray_ended() {
  ! kill -0 "$GUI_TRAY_PID" 2>/dev/null
}

gui_close_tray() {
  drv click "$GUI_MAIN" 1 || varn_fail "no Close button"
  gui_end_tray "Close"
}

gui_end_tray() {
  varn_wait_for 20 gui_tray_ended || varn_fail "the control centre did not end after $1"
  local status=0
  wait "$GUI_TRAY_PID" || status=$?
  [ "$status" = 0 ] || varn_fail "the control centre ended with $status after $1"
}

# With no window manager the window has no frame to click; Alt+F4 asks for
# the same close. A click on the "Backup Folders" label first makes it the
# window that keys go to.
gui_close_box() {
  local x y w h
  read -r x y w h < <(drv rect "$GUI_MAIN") || varn_fail "no main window to close"
  xdotool mousemove --sync $((x + w / 2)) $((y + h * 31 / 240)) click 1 || varn_fail "xdotool could not click"
  sleep 0.5
  xdotool key alt+F4 || varn_fail "xdotool could not press Alt+F4"
  gui_end_tray "Alt+F4"
}

# Wine's explorer keeps the icons of a bare display in a window of its own,
# shown while it holds one. The test's icon is the only one: the first square.
GUI_TRAY_WINDOW='^Wine System Tray$'

gui_tray_shown() {
  [ -n "$(xdotool search --onlyvisible --name "$GUI_TRAY_WINDOW" 2>/dev/null)" ]
}

# Sets X, Y, WIDTH and HEIGHT of the system tray window.
gui_tray_geometry() {
  local id SCREEN WINDOW
  id=$(xdotool search --onlyvisible --name "$GUI_TRAY_WINDOW" 2>/dev/null | head -1)
  [ -n "$id" ] || varn_fail "no system tray window"
  eval "$(xdotool getwindowgeometry --shell "$id")"
}

# The screen outside a window that was hidden keeps its old pixels (there is
# no window manager to paint it), so only the tray's own square is taken.
gui_tray_shot() {
  local X Y WIDTH HEIGHT
  gui_tray_geometry
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$VARN_OUT/$1.png" || varn_fail "no screenshot"
}

# No --sync: it waits for a pointer motion, which never comes when the pointer
# already lies on the icon. The X server takes the move and the clicks in order.
gui_tray_click() {
  local X Y WIDTH HEIGHT
  gui_tray_geometry
  xdotool mousemove $((X + HEIGHT / 2)) $((Y + HEIGHT / 2)) click --repeat "$2" --delay 100 "$1" ||
    varn_fail "xdotool could not click the icon"
}
