#!/usr/bin/env bash
# Folder list, folder browser and service control with no service installed.
. "$VARN_SYSTEM_LIB"
. "$(dirname "${BASH_SOURCE[0]}")/tray_core_lib.sh"
tc_begin tray_core_no_service
tc_run "no service"
