#!/usr/bin/env bash
# The stop wait against a service that is slow, or unwilling, to stop.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/tray_core_lib.sh"
tc_begin tray_core_stub_service
cp "$VARN_TRAY_CORE_STUB_SERVICE" "$(varn_c 'C:\varn\stub_service.exe')"
tc_run "stub service" 'TRAY_CORE_STUB=C:\varn\stub_service.exe'
