#!/usr/bin/env bash
# The main window against a running service: the folder list, adding and
# removing folders, the start/stop button, hiding and showing through real
# clicks on the notification-area icon, a restore asked of a stopped service,
# the close box, and a window that really drew.
source "$(dirname "${BASH_SOURCE[0]}")/gui_lib.sh"
gui_begin gui_main_window

mkdir -p "$(varn_c 'C:\dest')" "$(varn_c 'C:\data\alpha')" "$(varn_c 'C:\data\new')" "$(varn_c 'C:\restore')"
printf 'one\n' >"$(varn_c 'C:\data\alpha\one.txt')"
printf 'two\n' >"$(varn_c 'C:\data\alpha\two.txt')"
gui_settings Destination 'C:\dest'
gui_settings ScanInterval 0
gui_settings MaxVersions 5
# Stored out of order and in mixed case: the list box sorts them.
gui_watch 'C:\data\zeta' 'C:\data\alpha' 'C:\data\Mid'
gui_start_service
gui_start_tray
drv wait "$GUI_MAIN" 30 || varn_fail "no main window"

# The window drew: its part of the screen is not one flat colour.
sleep 1
gui_shot main
read -r x y w h < <(drv rect "$GUI_MAIN")
colours=$(convert "$VARN_OUT/main.png" -crop "${w}x${h}+${x}+${y}" +repage -format %k info:)
[ "$colours" -ge 3 ] || varn_fail "the main window looks blank ($colours colours)"

[ "$(drv listbox "$GUI_MAIN" 1017)" = $'C:\\data\\alpha\nC:\\data\\Mid\nC:\\data\\zeta' ] ||
  varn_fail "folder list: $(drv listbox "$GUI_MAIN" 1017)"
gui_expect_text "$GUI_MAIN" 1005 "Stop Service"
[ "$(drv enabled "$GUI_MAIN" 1019)" = 0 ] || varn_fail "View Files is enabled before a folder was chosen"

# Remove with nothing selected: the box, and nothing sent.
drv click "$GUI_MAIN" 1018
[ "$(drv msgbox Error 10)" = "Click on a backup folder before deleting." ] || varn_fail "no selection box"
[ "$(drv listbox "$GUI_MAIN" 1017 | wc -l)" = 3 ] || varn_fail "the list changed"

# Add Folder through the folder browser; the service keeps the row.
drv click "$GUI_MAIN" 1003
drv browse "Select folder to backup" 'C:\data\new' 15 || varn_fail "no folder browser for Add Folder"
listed_new() { drv listbox "$GUI_MAIN" 1017 | grep -qx 'C:\\data\\new'; }
varn_wait_for 10 listed_new || varn_fail "the added folder is not listed"
stored_new() { [ "$(gui_stored "select count(*) from watchdirectories where directory = 'C:\data\new'")" = 1 ]; }
varn_wait_for 20 stored_new || varn_fail "the service did not store the added folder"

# Choosing a folder enables View Files; Remove takes the chosen folder away.
index=$(drv listbox "$GUI_MAIN" 1017 | grep -nx 'C:\\data\\new' | cut -d: -f1)
drv listbox-click "$GUI_MAIN" 1017 $((index - 1))
gui_expect_text "$GUI_MAIN" 1019 "View Files"
varn_wait_for 5 test "$(drv enabled "$GUI_MAIN" 1019)" = 1 || varn_fail "View Files stays disabled"
drv click "$GUI_MAIN" 1018
varn_wait_for 10 eval '! listed_new' || varn_fail "the removed folder is still listed"
gone_new() { [ "$(gui_stored "select count(*) from watchdirectories where directory = 'C:\data\new'")" = 0 ]; }
varn_wait_for 20 gone_new || varn_fail "the service kept the removed folder"

# Apply hides; single and right clicks on the icon do nothing; a double click
# shows. The clicks are the mouse's, on the icon in Wine's system tray: they
# reach the window only through what it registered with the shell.
drv click "$GUI_MAIN" 3
varn_wait_for 10 eval '! drv visible "$GUI_MAIN"' || varn_fail "Apply did not hide the window"
varn_wait_for 10 gui_tray_shown || varn_fail "no icon in the system tray"
gui_tray_shot tray
gui_tray_click 1 1
gui_tray_click 3 1
sleep 1
! drv visible "$GUI_MAIN" || varn_fail "a single or right click on the icon showed the window"
gui_tray_click 1 2
varn_wait_for 10 drv visible "$GUI_MAIN" || varn_fail "a double click on the icon did not show the window"

# A new taskbar gets the icon again.
drv tray-icon "$GUI_MAIN" probe || varn_fail "no notification-area icon"
drv tray-icon "$GUI_MAIN" delete || varn_fail "the icon could not be taken away"
! drv tray-icon "$GUI_MAIN" probe || varn_fail "the icon is still there"
drv taskbar-created "$GUI_MAIN" || varn_fail "TaskbarCreated not answered"
drv tray-icon "$GUI_MAIN" probe || varn_fail "TaskbarCreated did not add the icon again"

# The start/stop button stops and starts the real service.
stored_two() {
  [ "$(gui_stored "select count(*) from filelist where path like 'C:\data\alpha\%' and (attributes & 16) = 0")" = 2 ]
}
varn_wait_for 60 stored_two || varn_fail "the service did not store the two files"
drv click "$GUI_MAIN" 1005
gui_expect_text "$GUI_MAIN" 1005 "Start Service" 90
[ "$(gui_service_state)" = STOPPED ] || varn_fail "the service is $(gui_service_state), not stopped"

# A restore asked of the stopped service finds no pipe: the box says so.
drv listbox-click "$GUI_MAIN" 1017 0
varn_wait_for 5 test "$(drv enabled "$GUI_MAIN" 1019)" = 1 || varn_fail "View Files stays disabled"
drv click "$GUI_MAIN" 1019
drv wait Dialog 15 || varn_fail "View Files opened no file list"
drv listview-select Dialog 1021 0,1
gui_expect_text Dialog 4 "Restore"
drv click Dialog 4
drv browse "Restore To" 'C:\restore' 15 || varn_fail "no Restore To browser"
[ "$(drv msgbox VarnBack 15)" = "Service did not respond" ] || varn_fail "no box about the stopped service"
drv click Dialog 2
drv wait-gone Dialog 10 || varn_fail "the file list did not close"
[ -z "$(ls -A "$(varn_c 'C:\restore')")" ] || varn_fail "something was restored by a stopped service"

drv click "$GUI_MAIN" 1005
gui_expect_text "$GUI_MAIN" 1005 "Stop Service" 30
varn_wait_for 20 test "$(gui_service_state)" = RUNNING || varn_fail "the service did not start again"
gui_shot end

# The close box ends the program, and no icon is left in the tray. (Wine's
# explorer also drops the icons of a window that is gone: tray_window checks
# that the window removes its own.)
gui_close_box
varn_wait_for 10 eval '! gui_tray_shown' || varn_fail "the icon stayed in the system tray"
echo "gui_main_window: ok"
