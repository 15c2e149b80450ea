#!/usr/bin/env bash
# Browsing what the service stored and restoring it: the search, a folder's
# listing, the nested versions dialog, a restore of one older version and of
# two entries, each checked byte for byte in the chosen folder. A file moved to
# another folder shows, is found and is listed under its new path; a file whose
# content came back with an older time shows, restores and lists first among
# its versions that content; a watched folder whose name begins with the
# listed one's is not part of its listing.
# The control centre runs in the en-US locale (12-hour clock) at UTC, and shows
# the times on the 24-hour clock.
source "$(dirname "${BASH_SOURCE[0]}")/gui_lib.sh"
export TZ=Etc/UTC  # for touch and for every Wine process: the shown times are known
gui_begin gui_files

alpha=$(varn_c 'C:\data\alpha')
alpha2=$(varn_c 'C:\data\alpha2')
mkdir -p "$(varn_c 'C:\dest')" "$alpha/sub" "$alpha2" "$(varn_c 'C:\restore1')" "$(varn_c 'C:\restore2')"
printf 'version one\n' >"$alpha/a.txt"
printf 'bee\n' >"$alpha/b.txt"
printf 'sea\n' >"$alpha/sub/c.txt"
printf 'zed\n' >"$alpha2/z.txt"
touch -d '2024-03-01 10:00:00' "$alpha/a.txt"
cp "$alpha/a.txt" "$VARN_OUT/a-version-one.txt"
gui_settings Destination 'C:\dest'
gui_settings ScanInterval 0
gui_settings MaxVersions 5
gui_watch 'C:\data\alpha' 'C:\data\alpha2'
gui_start_service

count_is() { [ "$(gui_stored "$1")" = "$2" ]; }
varn_wait_for 30 count_is "select count(*) from filelist where path like 'C:\data\alpha\%'" 4 ||
  varn_fail "the first pass stored no versions"
varn_wait_for 30 count_is "select count(*) from filelist where path = 'C:\data\alpha2\z.txt'" 1 ||
  varn_fail "the first pass stored nothing of alpha2"
# A second version of a.txt, with a later time and another size, and b.txt
# moved to sub\bee.txt: a move keeps the time, so its new row ties with the old.
# c.txt gets content with an older time, as from an archive unpacked over it.
printf 'version two, longer\n' >"$alpha/a.txt"
touch -d '2024-03-02 13:00:00' "$alpha/a.txt"
mv "$alpha/b.txt" "$alpha/sub/bee.txt"
printf 'sea, unpacked\n' >"$alpha/sub/c.txt"
touch -d '2024-02-01 09:00:00' "$alpha/sub/c.txt"
varn_wait_for 30 count_is "select count(*) from filelist where path = 'C:\data\alpha\a.txt'" 2 ||
  varn_fail "the second version of a.txt was not stored"
varn_wait_for 30 count_is "select count(*) from filelist where path = 'C:\data\alpha\sub\bee.txt'" 1 ||
  varn_fail "the move of b.txt was not stored"
varn_wait_for 30 count_is "select count(*) from filelist where path = 'C:\data\alpha\sub\c.txt'" 2 ||
  varn_fail "the unpacked c.txt was not stored"
gui_settings ScanInterval 600  # no further passes while the dialogs read

# Wine takes the user locale from LC_ALL. This machine's C library may lack
# en_US, and bash warns when it cannot switch itself: the group takes that warning.
{ LC_ALL=en_US.UTF-8 gui_start_tray; } 2>/dev/null
drv wait "$GUI_MAIN" 30 || varn_fail "no main window"

rows() { drv listview "$1" 1021 | tail -n +2 | cut -f"$2" | tr '\n' ' '; }

# Go! with a search text lists every stored path that contains it, in any case.
drv set-text "$GUI_MAIN" 1026 'A.TXT'
drv click "$GUI_MAIN" 2
drv wait Dialog 15 || varn_fail "Go! opened no file list"
[ "$(rows Dialog 1,3,4)" = $'a.txt\t2\t20 bytes ' ] || varn_fail "search listing: $(drv listview Dialog 1021)"
drv click Dialog 2
drv wait-gone Dialog 10 || varn_fail "the file list did not close"

# View Files lists the chosen folder, sorted by path, folders marked; the moved
# file under its new path, nothing of alpha2; each file as stored last (c.txt's
# unpacked content), the time on the 24-hour clock.
[ "$(drv listbox "$GUI_MAIN" 1017 | head -1)" = 'C:\data\alpha' ] || varn_fail "folders: $(drv listbox "$GUI_MAIN" 1017)"
drv listbox-click "$GUI_MAIN" 1017 0
varn_wait_for 5 test "$(drv enabled "$GUI_MAIN" 1019)" = 1 || varn_fail "View Files stays disabled"
drv click "$GUI_MAIN" 1019
drv wait Dialog 15 || varn_fail "View Files opened no file list"
gui_shot listing
listing=$(drv listview Dialog 1021)
[ "$(head -1 <<<"$listing")" = $'Filename:130:left\tTimestamp:250:left\tVersions:50:right\tSize:100:right' ] ||
  varn_fail "listing columns: $(head -1 <<<"$listing")"
[ "$(rows Dialog 1,3,4)" = $'a.txt\t2\t20 bytes sub\tDirectory\t0 bytes bee.txt\t2\t4 bytes c.txt\t2\t14 bytes ' ] ||
  varn_fail "folder listing: $listing"
[ "$(sed -n 5p <<<"$listing" | cut -f2)" = "Thursday, February 1, 2024 9:00:00" ] || varn_fail "c.txt's time: $listing"
[ "$(sed -n 2p <<<"$listing" | cut -f2)" = "Saturday, March 2, 2024 13:00:00" ] || varn_fail "shown time: $listing"
gui_expect_text Dialog 4 "View Versions"
[ "$(drv enabled Dialog 4)" = 0 ] || varn_fail "the action button is enabled before a selection"

# One row: View Versions opens the nested versions dialog, the version stored
# last first.
drv listview-select Dialog 1021 0
gui_expect_text Dialog 4 "View Versions"
drv click Dialog 4
drv wait "File Versions" 15 || varn_fail "no versions dialog"
gui_shot versions
versions=$(drv listview "File Versions" 1021)
[ "$(head -1 <<<"$versions")" = $'Copy:100:left\tFilename:130:left\tSize:100:right\tTimestamp:250:left' ] ||
  varn_fail "versions columns: $(head -1 <<<"$versions")"
[ "$(rows "File Versions" 1-4)" = $'1\ta.txt\t20 bytes\tSaturday, March 2, 2024 13:00:00 2\ta.txt\t12 bytes\tFriday, March 1, 2024 10:00:00 ' ] ||
  varn_fail "versions: $versions"

# Restore the older version. A second press while the browser is open starts
# no second request.
drv listview-select "File Versions" 1021 1
gui_expect_text "File Versions" 4 "Restore"
drv click "File Versions" 4
drv wait "Browse for Folder" 15 || varn_fail "no Restore To browser"
drv click "File Versions" 4
sleep 1
[ "$(drv count "Browse for Folder")" = 1 ] || varn_fail "a second press opened another browser"
drv browse "Restore To" 'C:\restore1' 15 || varn_fail "could not choose the restore folder"
[ "$(drv msgbox VarnBack 15)" = "Sent restore command to service" ] || varn_fail "no confirmation box"
restored1=$(varn_c 'C:\restore1\data\alpha\a.txt')
varn_wait_for 20 cmp -s "$restored1" "$VARN_OUT/a-version-one.txt" || varn_fail "the older a.txt was not restored as stored"
[ "$(drv count "Browse for Folder")" = 0 ] || varn_fail "a browser is still open"
drv click "File Versions" 2
drv wait-gone "File Versions" 10 || varn_fail "the versions dialog did not close"

# The moved file's versions: both under one entry, the move (added last) first.
drv listview-select Dialog 1021 2
drv click Dialog 4
drv wait "File Versions" 15 || varn_fail "no versions dialog for the moved file"
[ "$(rows "File Versions" 1-3)" = $'1\tbee.txt\t4 bytes 2\tb.txt\t4 bytes ' ] ||
  varn_fail "versions of the moved file: $(drv listview "File Versions" 1021)"
drv click "File Versions" 2
drv wait-gone "File Versions" 10 || varn_fail "the versions dialog did not close"

# c.txt's versions in the order of storing: the unpacked content, stored last
# with its older time, first, as its listing row shows it.
drv listview-select Dialog 1021 3
drv click Dialog 4
drv wait "File Versions" 15 || varn_fail "no versions dialog for c.txt"
versions=$(drv listview "File Versions" 1021)
[ "$(rows "File Versions" 1-3)" = $'1\tc.txt\t14 bytes 2\tc.txt\t4 bytes ' ] || varn_fail "versions of c.txt: $versions"
[ "$(sed -n 2p <<<"$versions" | cut -f4)" = "Thursday, February 1, 2024 9:00:00" ] ||
  varn_fail "time of c.txt's first version: $versions"
drv click "File Versions" 2
drv wait-gone "File Versions" 10 || varn_fail "the versions dialog did not close"

# Two rows: Restore sends the version stored last of each, and only of those:
# what the files hold now.
drv listview-select Dialog 1021 0,3
gui_expect_text Dialog 4 "Restore"
drv click Dialog 4
drv browse "Restore To" 'C:\restore2' 15 || varn_fail "no Restore To browser for two entries"
[ "$(drv msgbox VarnBack 15)" = "Sent restore command to service" ] || varn_fail "no confirmation box"
varn_wait_for 20 cmp -s "$(varn_c 'C:\restore2\data\alpha\a.txt')" "$alpha/a.txt" || varn_fail "a.txt not restored"
varn_wait_for 20 cmp -s "$(varn_c 'C:\restore2\data\alpha\sub\c.txt')" "$alpha/sub/c.txt" || varn_fail "c.txt not restored"
restored2=$(cd "$(varn_c 'C:\restore2')" && find . -type f | sort | tr '\n' ' ')
[ "$restored2" = "./data/alpha/a.txt ./data/alpha/sub/c.txt " ] || varn_fail "restored besides the two: $restored2"
drv click Dialog 1
drv wait-gone Dialog 10 || varn_fail "the file list did not close"

# Escape in the main window runs Go! with the search text: the moved file is
# found by its new name.
drv set-text "$GUI_MAIN" 1026 'bee'
drv key "$GUI_MAIN" 1026 27
drv wait Dialog 15 || varn_fail "Escape opened no file list"
[ "$(rows Dialog 1,3)" = $'bee.txt\t2 ' ] || varn_fail "Escape listing: $(drv listview Dialog 1021)"
drv click Dialog 2
drv wait-gone Dialog 10 || varn_fail "the file list did not close"

gui_close_tray
echo "gui_files: ok"
