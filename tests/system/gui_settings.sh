#!/usr/bin/env bash
# The settings dialog through the registry, on a machine where the service is
# not installed: the start-up box, the defaults, the password stored encrypted
# and shown decrypted, Change, Cancel, and empty values.
source "$(dirname "${BASH_SOURCE[0]}")/gui_lib.sh"
gui_begin gui_settings
mkdir -p "$(varn_c 'C:\data')"

key='HKLM\Software\Varnoke\VarnBackup'
setting() {
  varn_wine reg query "$key" /v "$1" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_SZ *//p"
}
has_setting() { varn_wine reg query "$key" /v "$1" </dev/null >/dev/null 2>&1; }
open_settings() {
  drv click "$GUI_MAIN" 1004
  drv wait Settings 15 || varn_fail "no settings dialog"
}
close_settings() {  # BUTTON: 1 OK, 2 Cancel
  drv click Settings "$1"
  drv wait-gone Settings 10 || varn_fail "the settings dialog did not close"
}
fields() { local id; for id in 1011 1012 1013 1014 1018; do printf '[%s]' "$(drv text Settings $id)"; done; }

gui_start_tray
[ "$(drv msgbox BEEP 30)" = "Error: Could not access service (1060)" ] || varn_fail "no box about the missing service"
drv wait "$GUI_MAIN" 15 || varn_fail "no main window"
gui_expect_text "$GUI_MAIN" 1005 "Start Service"
[ -z "$(drv listbox "$GUI_MAIN" 1017)" ] || varn_fail "folders listed without a service"

# No settings key: empty texts, 15 minutes, 5 versions; OK writes all five.
open_settings
[ "$(fields)" = "[][][][15][5]" ] || varn_fail "defaults: $(fields)"
drv set-text Settings 1011 'C:\dest\'
drv set-text Settings 1012 'backup user'
drv set-text Settings 1013 'pw1'
gui_shot settings
close_settings 1
[ "$(setting Destination)" = 'C:\dest\' ] || varn_fail "Destination: $(setting Destination)"
[ "$(setting Username)" = 'backup user' ] || varn_fail "Username: $(setting Username)"
[ "$(setting ScanInterval)" = 15 ] && [ "$(setting MaxVersions)" = 5 ] || varn_fail "numbers not written"
stored=$(setting Password)
[[ $stored =~ ^[0-9A-F]{32}$ ]] || varn_fail "the password is stored as \"$stored\""

# Shown decrypted again; Change puts a folder into the field, Cancel writes nothing.
open_settings
[ "$(fields)" = '[C:\dest\][backup user][pw1][15][5]' ] || varn_fail "reopened: $(fields)"
drv click Settings 1016
drv browse "Select destination folder" 'C:\data' 15 || varn_fail "no destination browser"
gui_expect_text Settings 1011 'C:\data'
drv set-text Settings 1014 '99'
close_settings 2
[ "$(setting Destination)" = 'C:\dest\' ] && [ "$(setting ScanInterval)" = 15 ] || varn_fail "Cancel wrote settings"
[ "$(setting Password)" = "$stored" ] || varn_fail "Cancel changed the password"

# Empty stored numbers: the version count shows 5, the interval stays empty,
# and OK stores what is shown, an empty password as the empty text.
gui_settings MaxVersions ''
gui_settings ScanInterval ''
open_settings
[ "$(drv text Settings 1018)" = 5 ] && [ -z "$(drv text Settings 1014)" ] ||
  varn_fail "empty values shown as $(fields)"
drv set-text Settings 1013 ''
close_settings 1
has_setting ScanInterval && [ -z "$(setting ScanInterval)" ] || varn_fail "the empty interval was not written"
[ "$(setting MaxVersions)" = 5 ] || varn_fail "MaxVersions: $(setting MaxVersions)"
has_setting Password && [ -z "$(setting Password)" ] || varn_fail "the empty password is stored as $(setting Password)"

gui_close_tray
echo "gui_settings: ok"
