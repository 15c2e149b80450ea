#!/usr/bin/env bash
# A prefix that is not a test prefix, as the main job's or a user's would be:
# no mark, a state database and backup settings in place. Every test program of
# the build (each doctest program found in tests/), the GUI driver and the
# system test library must refuse with status 3 and the reason, and leave the
# database, the settings and the rest of C:\ as they were.
. "$VARN_SYSTEM_LIB"
varn_begin test_prefix_guard
stranger=$WINEPREFIX
rm "$stranger/$VARN_TEST_MARK"

data=$(varn_c 'C:\ProgramData\Varnoke\VarnBack\Data')
mkdir -p "$data" "$(varn_c 'C:\ProgramData\Varnoke\VarnBack\Logs')"
sqlite3 "$data/SystemState2.trdb" \
  "create table watchdirectories( directory text, user text );
   insert into watchdirectories values('C:\\Users\\ann\\Documents', 'ann');
   create table filelist( path text, user text, attributes sqlite3_uint64, parentid sqlite3_uint64,
     self_id sqlite3_uint64, modificationtime text, size sqlite3_uint64, volume_id sqlite3_uint64, localpath text);
   insert into filelist values('C:\\Users\\ann\\Documents\\thesis.odt', 'ann', 32, 5, 77,
     '20240131 235959.000', 1234, 1124073472, 'D:\\VarnBack\\PC\\0191');" ||
  varn_fail "could not plant the database"
# Straight through wine: the library's own runner would refuse this prefix.
wine reg add 'HKLM\Software\Varnoke\VarnBackup' /v Destination /t REG_SZ /d 'D:\backups' /f \
  </dev/null >/dev/null 2>&1 || varn_fail "could not plant the settings"
setting() {
  wine reg query 'HKLM\Software\Varnoke\VarnBackup' /v Destination </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *Destination *REG_SZ *//p'
}
[ "$(setting)" = 'D:\backups' ] || varn_fail "the planted setting reads \"$(setting)\""
snapshot() { (cd "$stranger/drive_c" && find . -path ./windows -prune -o -print | sort) | md5sum; }
tree_before=$(snapshot)
database_before=$(md5sum <"$data/SystemState2.trdb")
refusal='is not a VarnBack test prefix (C:\varn-test-prefix.txt is missing).'
# What makes a test prefix, true also for a test that ctest runs.
remedy='Test prefixes are the wineprefix and wineprefix-template folders of a build, which tools/setup.sh makes and marks; run it again to restore a lost mark.'

# refuses WHAT COMMAND...: status 3 and the reason, within a minute.
refuses() {
  local what=$1 status=0; shift
  "$@" </dev/null >"$VARN_OUT/out.txt" 2>"$VARN_OUT/err.txt" || status=$?
  local reason
  reason=$(tr -d '\r' <"$VARN_OUT/err.txt" | grep -m1 'Refusing' || true)
  [ "$status" = 3 ] || varn_fail "$what ran in a prefix without the mark (status $status): $(head -c 600 "$VARN_OUT/out.txt")"
  [[ $reason == "Refusing to run: "*"$refusal"*" $remedy" && $reason != *"through ctest"* ]] ||
    varn_fail "$what refused without the reason: \"$reason\""
}

programs=()
for program in "$VARN_BUILD"/tests/*.exe; do
  grep -qa '\[doctest\]' "$program" && programs+=("$program")
done
for known in tray_ui_test tray_core_test common_folders_test tray_core_system_test; do
  [[ " ${programs[*]} " == *"/$known.exe "* ]] || varn_fail "$known.exe is not among the test programs found"
done
for program in "${programs[@]}"; do
  refuses "$(basename "$program")" timeout 120 wine "$program"
  echo "refused: $(basename "$program")"
done
refuses gui_driver.exe timeout 60 wine "$VARN_BUILD/tests/gui_driver.exe" count Dialog
echo "refused: gui_driver.exe"

# The library: its runner in this prefix, and a test whose template is this prefix.
in_subshell() { ( "$@" ); }  # varn_wine's refusal ends the shell it runs in
refuses varn_wine in_subshell varn_wine cmd.exe /c exit
refuses varn_begin env VARN_TEMPLATE_PREFIX="$stranger" bash -c '. "$VARN_SYSTEM_LIB"; varn_begin test_prefix_guard_copy'
[ ! -e "$VARN_BUILD/test-output/test_prefix_guard_copy" ] || varn_fail "varn_begin made a test folder first"
echo "refused: varn_wine, varn_begin"

[ "$(md5sum <"$data/SystemState2.trdb")" = "$database_before" ] || varn_fail "the planted database changed"
[ "$(sqlite3 -readonly "$data/SystemState2.trdb" "select path from filelist")" = 'C:\Users\ann\Documents\thesis.odt' ] ||
  varn_fail "the planted rows are gone"
[ "$(setting)" = 'D:\backups' ] || varn_fail "the planted setting reads \"$(setting)\""
[ "$(snapshot)" = "$tree_before" ] || varn_fail "files under C:\\ changed"
echo "test_prefix_guard: ok"
