#!/usr/bin/env bash
# Start, stop, the pipe requests and the folder list against the real service.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/tray_core_lib.sh"
tc_begin tray_core_real_service
tc_install_service
tc_run "real service"
