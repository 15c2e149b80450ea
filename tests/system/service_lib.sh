# Sourced by the service system tests after lib.sh: the installed program, its
# folders and settings, and helpers that drive it as a user would.
#
#   svc_begin NAME         varn_begin, the per-machine Data and Logs folders, the
#                          program copied to C:\varn
#   svc_setting NAME VALUE one REG_SZ backup setting
#   svc_run ARGS...        the program from a command prompt; its output in $SVC_OUTPUT
#   svc_start / svc_stop   through the service control manager; svc_stop leaves the
#                          statuses it saw in $VARN_OUT/stop.txt
#   svc_pipe ARGS...       service_driver pipe ARGS
#   svc_log                the service's first log file of the current run, CR removed
#   expect_eq WHAT GOT WANTED / expect_contains WHAT TEXT PART / expect_order WHAT TEXT PART...
: "${VARN_VARNBACKUPSERVICE:?}" "${VARN_VARN_SERVICE_DRIVER:?}"

SVC_NAME=VarnBack
SVC_EXE='C:\varn\VarnBackupService.exe'

expect_eq() {
  [ "$2" = "$3" ] || varn_fail "$1: got [$2], wanted [$3]"
}

expect_contains() {
  case $2 in *"$3"*) ;; *) varn_fail "$1: [$3] not found in:
$2" ;; esac
}

expect_lacks() {
  case $2 in *"$3"*) varn_fail "$1: [$3] found in:
$2" ;; esac
}

# The parts appear in the text in this order.
expect_order() {
  local what=$1 rest=$2 part; shift 2
  for part in "$@"; do
    case $rest in *"$part"*) rest=${rest#*"$part"} ;; *) varn_fail "$what: [$part] missing or out of order" ;; esac
  done
}

svc_begin() {
  varn_begin "$1"
  SVC_MACHINE=$(varn_c 'C:\ProgramData\Varnoke\VarnBack')
  SVC_DATA=$SVC_MACHINE/Data
  SVC_LOGS=$SVC_MACHINE/Logs
  mkdir -p "$SVC_DATA" "$SVC_LOGS" "$(varn_c 'C:\varn')"
  cp "$VARN_VARNBACKUPSERVICE" "$(varn_c "$SVC_EXE")"
  cp "$VARN_VARN_SERVICE_DRIVER" "$(varn_c 'C:\varn\service_driver.exe')"
}

svc_setting() {
  wine reg add 'HKLM\Software\Varnoke\VarnBackup' /v "$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1 ||
    varn_fail "could not write the setting $1"
}

svc_run() {
  SVC_OUTPUT=$(set -o pipefail; wine "$SVC_EXE" "$@" </dev/null 2>/dev/null | tr -d '\r')
  SVC_STATUS=$?
}

# Its exit status is the driver's, not that of the filter behind it.
svc_driver() {
  wine 'C:\varn\service_driver.exe' "$@" </dev/null 2>/dev/null | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

svc_pipe() { svc_driver pipe "$@"; }

svc_state() { svc_driver status "$SVC_NAME" | sed -n 's/^state=\([0-9]*\).*/\1/p'; }

svc_start() {
  wine sc start "$SVC_NAME" </dev/null >/dev/null 2>&1
  svc_driver wait "$SVC_NAME" 4 60 >/dev/null || varn_fail "the service did not reach RUNNING"
}

# Stops through the service control manager; extra arguments go to the driver.
svc_stop() {
  svc_driver stop "$SVC_NAME" 120 "$@" >"$VARN_OUT/stop.txt" ||
    varn_fail "the service did not stop: $(cat "$VARN_OUT/stop.txt")"
}

svc_log() { tr -d '\r' <"$SVC_LOGS/VarnBackupService.0.txt" 2>/dev/null; }

# The stop sequence reported through the service control manager.
expect_stop_sequence() {
  local seen
  seen=$(cat "$VARN_OUT/stop.txt")
  expect_order "stop sequence" "$seen" "state=4 checkpoint=0 waithint=0" \
    "state=3 checkpoint=1 waithint=60000" "state=1 checkpoint=2 waithint=0"
}
