#!/usr/bin/env bash
# The service program run from a command prompt: "-v", "-i" (with and without an
# account), "-u", letter case, other arguments, the registration it makes, the
# event-log source and its message table, and the two failures the service
# control manager can give: a clashing display name and a removal while the
# service is already marked for deletion.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/service_lib.sh"
svc_begin service_command_line

services_key='HKLM\System\CurrentControlSet\Services\VarnBack'
eventlog_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VarnBack'
reg_value() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
removed_line="VarnBack removed. (You must delete the file ($SVC_EXE) yourself.)"

# Arguments that are no switch: the program tries the dispatcher, which fails
# outside the service control manager; nothing is printed and it returns 0.
# Wine's dispatcher takes a while to give up, so these run side by side.
others=("/v" "-x" "-vv" "-install")
for i in "${!others[@]}"; do
  (wine "$SVC_EXE" "${others[$i]}" </dev/null >"$VARN_OUT/other.$i.out" 2>/dev/null; echo $? >"$VARN_OUT/other.$i.status") &
done
svc_run
expect_eq "no argument: output" "$SVC_OUTPUT" ""
expect_eq "no argument: exit status" "$SVC_STATUS" 0
expect_order "no argument: log" "$(svc_log)" "Windows Version " " Starting service" " Stopping service"
wait
for i in "${!others[@]}"; do
  expect_eq "${others[$i]}: output" "$(cat "$VARN_OUT/other.$i.out")" ""
  expect_eq "${others[$i]}: exit status" "$(cat "$VARN_OUT/other.$i.status")" 0
done

svc_run -v
expect_eq "-v before install" "$SVC_OUTPUT" "VarnBack Version 1.0
The service is not installed"
expect_eq "-v exit status" "$SVC_STATUS" 0
log=$(svc_log)
expect_contains "-v log" "$log" " Stopping service"
expect_lacks "-v log" "$log" "Starting service"

svc_run -u
expect_eq "-u before install" "$SVC_OUTPUT" "VarnBack is not installed"

# Another service already shows the display name: the creation is refused and
# nothing is registered, not even the event-log source.
wine sc create VarnOther binpath= 'C:\varn\service_driver.exe' displayname= VarnBack </dev/null >/dev/null 2>&1
svc_driver status VarnOther >/dev/null || varn_fail "the clashing service was not created"
svc_run -i
expect_eq "-i with a clashing display name" "$SVC_OUTPUT" "VarnBack failed to install."
expect_eq "-i with a clashing display name: exit status" "$SVC_STATUS" 0
wine reg query "$services_key" >/dev/null 2>&1 && varn_fail "a failed install left the service key"
wine reg query "$eventlog_key" >/dev/null 2>&1 && varn_fail "a failed install made the event-log source"
wine sc delete VarnOther </dev/null >/dev/null 2>&1

# switch and arguments | logon account the service gets
installs=(
  "-i|LocalSystem"
  "-I|LocalSystem"
  "-i ann|LocalSystem"
  "-i ann secret extra|LocalSystem"
  "-i ann secret|ann"
  "-i .\\ann <empty>|.\\ann"
  "-i <empty> secret|LocalSystem"
)
for entry in "${installs[@]}"; do
  IFS=' ' read -r -a words <<<"${entry%%|*}"
  for j in "${!words[@]}"; do [ "${words[$j]}" = "<empty>" ] && words[$j]=""; done
  account=${entry##*|}
  svc_run "${words[@]}"
  expect_eq "${entry%%|*}: output" "$SVC_OUTPUT" "VarnBack installed"
  expect_eq "${entry%%|*}: exit status" "$SVC_STATUS" 0
  expect_eq "${entry%%|*}: account" "$(reg_value "$services_key" ObjectName)" "$account"
  svc_run -U
  expect_eq "${entry%%|*}: removal" "$SVC_OUTPUT" "$removed_line"
done

svc_run -i
expect_eq "registration: image path" "$(reg_value "$services_key" ImagePath)" "\"$SVC_EXE\""
expect_eq "registration: display name" "$(reg_value "$services_key" DisplayName)" "VarnBack"
expect_eq "registration: own process" "$(reg_value "$services_key" Type)" "0x10"
expect_eq "registration: automatic start" "$(reg_value "$services_key" Start)" "0x2"
expect_eq "registration: normal error control" "$(reg_value "$services_key" ErrorControl)" "0x1"
expect_eq "event source: message file" "$(reg_value "$eventlog_key" EventMessageFile)" "$SVC_EXE"
expect_eq "event source: types" "$(reg_value "$eventlog_key" TypesSupported)" "0x7"
wine reg query "$eventlog_key" /v EventMessageFile 2>/dev/null | grep -q REG_EXPAND_SZ ||
  varn_fail "EventMessageFile is not REG_EXPAND_SZ"

# A second install changes nothing, not even the event-log source.
wine reg add "$eventlog_key" /v TypesSupported /t REG_DWORD /d 5 /f >/dev/null 2>&1
svc_run -I
expect_eq "-i when installed" "$SVC_OUTPUT" "VarnBack is already installed"
expect_eq "-i when installed: event source untouched" "$(reg_value "$eventlog_key" TypesSupported)" "0x5"

svc_run -V
expect_eq "-v when installed" "$SVC_OUTPUT" "VarnBack Version 1.0
The service is currently installed"

svc_run -u
expect_eq "-u" "$SVC_OUTPUT" "$removed_line"
expect_eq "-u exit status" "$SVC_STATUS" 0
wine reg query "$services_key" >/dev/null 2>&1 && varn_fail "the service key is still there after -u"
wine reg query "$eventlog_key" >/dev/null 2>&1 || varn_fail "-u removed the event-log source"
svc_run -u
expect_eq "-u when removed" "$SVC_OUTPUT" "VarnBack is not installed"

# A running service is only marked for deletion; a second removal is refused
# with ERROR_SERVICE_MARKED_FOR_DELETE, and the service goes once it stops.
svc_run -i
svc_start
svc_run -u
expect_eq "-u while running" "$SVC_OUTPUT" "$removed_line"
svc_run -u
expect_eq "-u while marked for deletion" "$SVC_OUTPUT" "Could not remove VarnBack. Error 1072"
expect_eq "-u while marked for deletion: exit status" "$SVC_STATUS" 0
svc_stop
svc_run -u
expect_eq "-u once stopped" "$SVC_OUTPUT" "VarnBack is not installed"

# The message table of the event-log source, as the event viewer reads it.
messages=(
  "0x64|The %1 service was installed.\r\n"
  "0x65|The %1 service was removed.\r\n"
  "0x66|The %1 service could not be removed.\r\n"
  "0x67|The control handler could not be installed.\r\n"
  "0x68|The service was started.\r\n"
  "0x69|The service was stopped.\r\n"
  "0x6a|%1\r\n"
  "0x6b|%1\r\n"
  "0x6c|The service received an unsupported request.\r\n"
  "0x6d|The initialization process failed.\r\n"
)
for entry in "${messages[@]}"; do
  expect_eq "message ${entry%%|*}" "$(svc_driver message "$SVC_EXE" "${entry%%|*}")" "${entry#*|}"
done
expect_contains "no message 0x6e" "$(svc_driver message "$SVC_EXE" 0x6e)" "error: message"

echo "service command line: ok"
