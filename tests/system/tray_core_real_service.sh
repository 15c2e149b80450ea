#!/usr/bin/env bash
# Start, stop, the pipe requests and the folder list against the real service.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/tray_core_lib.sh"
tc_begin tray_core_real_service
cp "$VARN_VARNBACKUPSERVICE" "$(varn_c 'C:\varn\VarnBackupService.exe')"
varn_wine 'C:\varn\VarnBackupService.exe' -i </dev/null >"$VARN_OUT/install.txt" 2>&1 ||
  varn_fail "the service did not install: $(cat "$VARN_OUT/install.txt")"
tc_run "real service"
