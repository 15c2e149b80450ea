#!/usr/bin/env bash
# Installs from folders whose names a careless registration breaks: names with a
# blank, with programs planted where a service control manager that splits the
# image path at a blank would look, and names outside the ANSI code page. From
# each folder the real program must be registered, start under the service
# control manager, stop, and be removed again.
# The image path is kept as expandable text, so a %NAME% in a folder's name is
# replaced when the service starts: from such a folder the install is refused
# and nothing is registered, and a program planted where the expanded path
# points never runs. A single % and two side by side name nothing and install.
# Wine takes file names and arguments from Unix in the locale's character set:
# UTF-8, or the Cyrillic names below would not reach it.
export LC_ALL=C.UTF-8
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/service_lib.sh"
: "${VARN_VARN_SERVICE_PLANTED:?}"
svc_begin service_install_folders

eventlog_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\VarnBack'
services_key='System\CurrentControlSet\Services\VarnBack'
folders=('C:\Program Files\Varn Back' 'C:\Путь' 'C:\Program Files\Путь Varn' 'C:\Varn 50%' 'C:\Varn%%Back')
# Wine's manager starts services with the user's USERNAME and OS=Windows_NT.
refused=('C:\p%USERNAME%q' 'C:\p%OS%q' 'C:\Varn%\50% off')
planted=('C:\Program.exe' 'C:\Program Files\Varn.exe' 'C:\Program Files\Путь.exe'
  "C:\\p$(id -un)q\\VarnBackupService.exe" 'C:\pWindows_NTq\VarnBackupService.exe')
for program in "${planted[@]}"; do
  mkdir -p "$(dirname "$(varn_c "$program")")"
  cp "$VARN_VARN_SERVICE_PLANTED" "$(varn_c "$program")"
done
planted_runs() {
  local program
  for program in "${planted[@]}"; do
    [ -e "$(varn_c "$program").ran" ] && printf '%s ran: %s\n' "$program" "$(iconv -f UTF-16LE -t UTF-8 <"$(varn_c "$program").ran")"
  done
}
run_from() {
  SVC_OUTPUT=$(set -o pipefail; wine "$1" "${@:2}" </dev/null 2>/dev/null | tr -d '\r')
  SVC_STATUS=$?
}

for folder in "${folders[@]}"; do
  exe="$folder\\VarnBackupService.exe"
  mkdir -p "$(varn_c "$folder")"
  cp "$VARN_VARNBACKUPSERVICE" "$(varn_c "$exe")"
  run_from "$exe" -i
  expect_eq "$folder: -i" "$SVC_OUTPUT" "VarnBack installed"
  expect_eq "$folder: -i exit status" "$SVC_STATUS" 0
  expect_eq "$folder: image path" "$(svc_driver image "$SVC_NAME")" "\"$exe\""
  expect_eq "$folder: event-log message file" "$(svc_driver regvalue "$eventlog_key" EventMessageFile)" "$exe"

  wine sc start "$SVC_NAME" </dev/null >/dev/null 2>&1
  svc_driver wait "$SVC_NAME" 4 60 >/dev/null ||
    varn_fail "$folder: the service did not reach RUNNING: $(svc_driver status "$SVC_NAME") $(planted_runs)"
  expect_eq "$folder: planted programs" "$(planted_runs)" ""
  # The control pipe answers: the program that runs is the service itself.
  expect_eq "$folder: LIST FOLDERS" "$(svc_pipe "LIST FOLDERS" --replies 1)" "0"
  svc_stop
  expect_stop_sequence

  run_from "$exe" -u
  expect_eq "$folder: -u" "$SVC_OUTPUT" "VarnBack removed. (You must delete the file ($exe) yourself.)"
done

# The installs above left the event-log source behind, as a removal does.
wine reg delete "HKLM\\$eventlog_key" /f </dev/null >/dev/null 2>&1 || varn_fail "could not remove the event-log source"
for folder in "${refused[@]}"; do
  exe="$folder\\VarnBackupService.exe"
  mkdir -p "$(varn_c "$folder")"
  cp "$VARN_VARNBACKUPSERVICE" "$(varn_c "$exe")"
  run_from "$exe" -i
  # Had it been registered, this start would run what the expanded path names.
  wine sc start "$SVC_NAME" </dev/null >/dev/null 2>&1
  expect_eq "$folder: planted programs" "$(planted_runs)" ""
  expect_eq "$folder: -i" "$SVC_OUTPUT" "VarnBack failed to install."
  expect_eq "$folder: -i exit status" "$SVC_STATUS" 0
  expect_contains "$folder: log" "$(svc_log)" "Install() The program path $exe holds a name between percent signs, which the service control manager would replace. Not installed."
  svc_driver regvalue "$services_key" ImagePath >/dev/null && varn_fail "$folder: the service was registered"
  svc_driver regvalue "$eventlog_key" EventMessageFile >/dev/null && varn_fail "$folder: the event-log source was made"
done

echo "service install folders: ok"
