#!/usr/bin/env bash
# The file list over stored rows that passes on this machine cannot make: two
# volumes reached inside one watched folder, whose files b.txt and c.txt have
# the same file index, are two files, each with its own listing row and its
# own versions; and a listing of 400 files and a file with 300 versions, each
# longer than the list shows at once, show every row, in order, with every
# column, and draw. No service is installed: the search needs none. The
# control centre runs in the en-US locale at UTC, in a virtual desktop.
source "$(dirname "${BASH_SOURCE[0]}")/gui_lib.sh"
export TZ=Etc/UTC
gui_begin gui_files_rows
varn_virtual_desktop

files=400
versions=300
sqlite3 "$GUI_DATA/SystemState2.trdb" "
  create table if not exists watchdirectories( directory text, user text );
  create table if not exists filelist( path text, user text, attributes sqlite3_uint64, parentid sqlite3_uint64,
    self_id sqlite3_uint64, modificationtime text, size sqlite3_uint64, volume_id sqlite3_uint64, localpath text);
  -- b.txt on volume 11112222, c.txt on volume 33334444, both of index 3, stored in turn
  insert into filelist values('C:\W\v1\b.txt', ' ', 32, 2, 3, '20240301 100000.000', 11, 286335522, 'u1');
  insert into filelist values('C:\W\v2\c.txt', ' ', 32, 2, 3, '20240301 090000.000', 21, 858997828, 'u2');
  insert into filelist values('C:\W\v1\b.txt', ' ', 32, 2, 3, '20240302 100000.000', 12, 286335522, 'u3');
  insert into filelist values('C:\W\v2\c.txt', ' ', 32, 2, 3, '20240302 090000.000', 22, 858997828, 'u4');
  insert into filelist values('C:\W\v1\b.txt', ' ', 32, 2, 3, '20240303 100000.000', 13, 286335522, 'u5');
  insert into filelist values('C:\W\v2\c.txt', ' ', 32, 2, 3, '20240303 090000.000', 23, 858997828, 'u6');
  with recursive n(i) as (select 0 union all select i + 1 from n where i < $files - 1)
    insert into filelist select printf('C:\big\file%04d.txt', i), ' ', 32, 4, 1000 + i,
      printf('20240301 %02d%02d%02d.000', i / 3600, i / 60 % 60, i % 60), i * 7 % 1000, 1124073472, 'f' from n;
  with recursive n(i) as (select 0 union all select i + 1 from n where i < $versions - 1)
    insert into filelist select 'C:\many\notes.txt', ' ', 32, 5, 7,
      printf('20240302 %02d%02d%02d.000', i / 3600, i / 60 % 60, i % 60), i % 1000, 1124073472, 'v' from n;" ||
  varn_fail "could not write the state database"

rows() { drv listview "$1" 1021 | tail -n +2 | cut -f"$2" | tr '\n' ' '; }
search() {
  drv set-text "$GUI_MAIN" 1026 "$1"
  drv click "$GUI_MAIN" 2
  drv wait Dialog 15 || varn_fail "Go! with \"$1\" opened no file list"
}
# The rows of the list in dialog $1 drew: below the column header, and left of
# the scroll bar, the list is not one flat colour.
rows_drew() {
  local x y w h
  gui_shot "$2"
  read -r x y w h < <(drv rect "$1" 1021) || return 1
  [ "$(convert "$VARN_OUT/$2.png" -crop "$((w - 30))x$((h - 40))+$((x + 5))+$((y + 30))" +repage \
    -format %k info:)" -ge 3 ]
}
close_list() {
  drv click "$1" 2
  drv wait-gone "$1" 10 || varn_fail "\"$1\" did not close"
}

{ LC_ALL=en_US.UTF-8 gui_start_tray; } 2>/dev/null
[ "$(drv msgbox BEEP 30)" = "Error: Could not access service (1060)" ] || varn_fail "no box about the missing service"
drv wait "$GUI_MAIN" 15 || varn_fail "no main window"

# Each file of the pair is found by its own name, with its own count.
search 'c.txt'
[ "$(rows Dialog 1,3,4)" = $'c.txt\t3\t23 bytes ' ] || varn_fail "search for c.txt: $(drv listview Dialog 1021)"
close_list Dialog
search 'b.txt'
[ "$(rows Dialog 1,3,4)" = $'b.txt\t3\t13 bytes ' ] || varn_fail "search for b.txt: $(drv listview Dialog 1021)"
# Its versions are its own, so a restore from them brings back b.txt.
drv listview-select Dialog 1021 0
gui_expect_text Dialog 4 "View Versions"
drv click Dialog 4
drv wait "File Versions" 15 || varn_fail "no versions dialog"
[ "$(rows "File Versions" 1-3)" = $'1\tb.txt\t13 bytes 2\tb.txt\t12 bytes 3\tb.txt\t11 bytes ' ] ||
  varn_fail "versions of b.txt: $(drv listview "File Versions" 1021)"
close_list "File Versions"
close_list Dialog

# A large listing and a long versions listing, row by row. The en-US time
# on the 24-hour clock has no leading zero in the hour.
shown_time() { awk -v day="$1" '{ printf "%s %d:%02d:%02d\n", day, int($1 / 3600), int($1 / 60) % 60, $1 % 60 }'; }
search '\big\'
expected=$(seq 0 $((files - 1)) | shown_time 'Friday, March 1, 2024' |
  paste <(seq 0 $((files - 1)) | awk '{ printf "file%04d.txt\n", $1 }') - \
    <(yes 1 | head -n $files) <(seq 0 $((files - 1)) | awk '{ printf "%d bytes\n", $1 * 7 % 1000 }'))
[ "$(drv listview Dialog 1021 | tail -n +2)" = "$expected" ] ||
  varn_fail "the large listing: $(drv listview Dialog 1021 | tail -n +2 | diff - <(printf '%s\n' "$expected") | head)"
varn_wait_for 5 rows_drew Dialog large_listing || varn_fail "the large listing shows no rows"
close_list Dialog

search 'notes.txt'
drv listview-select Dialog 1021 0
gui_expect_text Dialog 4 "View Versions"
drv click Dialog 4
drv wait "File Versions" 15 || varn_fail "no versions dialog for notes.txt"
expected=$(paste <(seq 1 $versions) <(yes notes.txt | head -n $versions) \
  <(seq $((versions - 1)) -1 0 | awk '{ printf "%d bytes\n", $1 % 1000 }') \
  <(seq $((versions - 1)) -1 0 | shown_time 'Saturday, March 2, 2024'))
[ "$(drv listview "File Versions" 1021 | tail -n +2)" = "$expected" ] ||
  varn_fail "the versions: $(drv listview "File Versions" 1021 | tail -n +2 | diff - <(printf '%s\n' "$expected") | head)"
varn_wait_for 5 rows_drew "File Versions" many_versions || varn_fail "the versions dialog shows no rows"
close_list "File Versions"
close_list Dialog

gui_close_tray
echo "gui_files_rows: ok"
