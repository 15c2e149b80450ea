#!/usr/bin/env bash
# check_pe.sh OBJDUMP FILE...: every file is a PE32 i386 program with subsystem
# version 5.01 that imports no function newer than Windows XP.
set -u
objdump=$1; shift
# Vista-and-later calls that a careless build pulls in (winpthreads, newer C++ runtimes).
newer='GetTickCount64|CancelIoEx|InitializeSRWLock|AcquireSRWLock(Exclusive|Shared)|ReleaseSRWLock(Exclusive|Shared)|TryAcquireSRWLock|InitializeConditionVariable|SleepConditionVariable(CS|SRW)|WakeConditionVariable|WakeAllConditionVariable|FlsAlloc|FlsFree|FlsGetValue|FlsSetValue|GetFileInformationByHandleEx|SetFileInformationByHandle|InitOnceExecuteOnce|InitOnceBeginInitialize|InitOnceComplete|CreateSymbolicLink[AW]|GetFinalPathNameByHandle[AW]|GetTickCount64|GetSystemTimePreciseAsFileTime|LCIDToLocaleName|LocaleNameToLCID|GetLocaleInfoEx|CompareStringEx|GetUserDefaultLocaleName|CreateEventEx[AW]|CreateMutexEx[AW]|CreateSemaphoreEx[AW]|WaitOnAddress|GetCurrentProcessorNumber|QueryFullProcessImageName[AW]|RegGetValue[AW]|RegDeleteTree[AW]|SHGetKnownFolderPath|TaskDialog|TaskDialogIndirect|Wow64DisableWow64FsRedirection'
status=0
[ $# -gt 0 ] || { echo "no programs given"; exit 1; }
for f in "$@"; do
  info=$("$objdump" -p "$f" 2>&1) || { echo "FAIL $f: objdump failed"; status=1; continue; }
  head=$(printf '%s\n' "$info" | grep -m1 'file format')
  case $head in *pei-i386*) ;; *) echo "FAIL $f: not PE32 i386 ($head)"; status=1 ;; esac
  printf '%s\n' "$info" | grep -Eq '^Magic[[:space:]]+010b' || { echo "FAIL $f: not a PE32 optional header"; status=1; }
  major=$(printf '%s\n' "$info" | awk '/^MajorSubsystemVersion/ {print $2}')
  minor=$(printf '%s\n' "$info" | awk '/^MinorSubsystemVersion/ {print $2}')
  [ "$major.$minor" = "5.1" ] || { echo "FAIL $f: subsystem version $major.$minor"; status=1; }
  imports=$(printf '%s\n' "$info" | awk '/^\tDLL Name:/ {dll=$3} /^\t[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]/ {print dll ":" $NF}')
  [ -n "$imports" ] || { echo "FAIL $f: no imports could be read"; status=1; }
  bad=$(printf '%s\n' "$imports" | grep -Ew "$newer")
  if [ -n "$bad" ]; then echo "FAIL $f: imports newer than XP: $(echo $bad)"; status=1; fi
  [ $status -eq 0 ] && echo "ok $f"
done
exit $status
