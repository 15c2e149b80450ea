#!/usr/bin/env bash
# The settings dialog through the registry, on a machine where the service is
# not installed: the start-up box, the defaults, the password stored encrypted
# and shown decrypted, Change, Cancel, empty values, and the version counts the
# dialog refuses.
source "$(dirname "${BASH_SOURCE[0]}")/gui_lib.sh"
gui_begin gui_settings
varn_virtual_desktop  # each of its boxes shows at once, not after two seconds
mkdir -p "$(varn_c 'C:\data')"

key='HKLM\Software\Varnoke\VarnBackup'
# A value exactly as stored, spaces included.
setting() {
  varn_wine reg query "$key" /v "$1" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^    $1    REG_SZ    //p"
}
# All five values from one query, as [Destination][Username][Password][ScanInterval][MaxVersions].
stored_settings() {
  local out name
  out=$(varn_wine reg query "$key" </dev/null 2>/dev/null | tr -d '\r')
  for name in Destination Username Password ScanInterval MaxVersions; do
    printf '[%s]' "$(printf '%s\n' "$out" | sed -n "s/^    $name    REG_SZ    //p")"
  done
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

# A version count the service would read as below 1 (it would keep one version
# of every file), or as no number, is refused: a box over the dialog says what
# it takes, nothing of the dialog is stored, and the dialog stays open with the
# field focused and its text selected. Past 32 bits the service reads the
# nearest end of the range. Put right, the same dialog stores all five.
VERSIONS_BOX="Maximum Versions"
VERSIONS_TEXT="Maximum Versions must be a whole number of 1 or more, or empty for the default of 5."
versions_selected() {
  [ "$(drv focus Settings)" = 1018 ] && [ "$(drv selection Settings 1018)" = "0 ${#1}" ]
}
before=$(stored_settings)
open_settings
drv set-text Settings 1011 'C:\new\'
drv set-text Settings 1012 'new user'
drv set-text Settings 1013 'pw1'
drv set-text Settings 1014 '30'
for text in 0 -3 abc - '  0 ' '   ' -99999999999; do
  drv set-text Settings 1018 "$text"
  drv click Settings 1
  drv wait "$VERSIONS_BOX" 15 || varn_fail "no box for MaxVersions \"$text\""
  [ "$text" = 0 ] && gui_shot settings-refused
  [ "$(drv owner "$VERSIONS_BOX")" = Settings ] || varn_fail "the box is owned by \"$(drv owner "$VERSIONS_BOX")\""
  shown=$(drv msgbox "$VERSIONS_BOX" 5) || varn_fail "the box for \"$text\" has no OK button"
  [ "$shown" = "$VERSIONS_TEXT" ] || varn_fail "the box says \"$shown\""
  drv visible Settings || varn_fail "the dialog closed after \"$text\""
  varn_wait_for 10 versions_selected "$text" ||
    varn_fail "after \"$text\" the focus is on $(drv focus Settings), the selection $(drv selection Settings 1018)"
  [ "$(stored_settings)" = "$before" ] || varn_fail "\"$text\" stored $(stored_settings), not $before"
done
drv set-text Settings 1018 7
close_settings 1
[ "$(stored_settings)" = "[C:\new\][new user][$stored][30][7]" ] || varn_fail "put right: $(stored_settings)"

# Every count the service reads as 1 or more (7abc as 7, 99999999999 as
# 2147483647) is stored exactly as typed, and so is the empty one, which stands
# for 5; with them the other four values. The password alternates between
# empty and pw1, so that each write of it shows.
i=0
for text in ' 7' '7 ' '' 7abc 1 99999999999; do
  i=$((i + 1))
  if [ $((i % 2)) = 1 ]; then password=; password_stored=; else password=pw1; password_stored=$stored; fi
  open_settings
  drv set-text Settings 1011 "C:\\dest$i\\"
  drv set-text Settings 1012 "user $i"
  drv set-text Settings 1013 "$password"
  drv set-text Settings 1014 "$i"
  drv set-text Settings 1018 "$text"
  close_settings 1
  expected="[C:\dest$i\][user $i][$password_stored][$i][$text]"
  [ "$(stored_settings)" = "$expected" ] || varn_fail "\"$text\" stored $(stored_settings), not $expected"
done

gui_close_tray
echo "gui_settings: ok"
