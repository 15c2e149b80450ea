#!/usr/bin/env bash
# The set-up's check for a kernel that runs 32-bit programs, with the program it
# tries replaced: one that runs, one the kernel refuses ("Exec format error",
# status 126), one that is missing. Without such a kernel the set-up stops once
# the packages are in, says what is missing and how to tell, and touches no
# build folder.
set -u
top=$1
fail() { echo "FAIL: $*" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
printf '#!/bin/sh\necho "cannot execute binary file: Exec format error" >&2\nexit 126\n' >"$scratch/refused"
chmod +x "$scratch/refused"

check() {
  VARN_I386_PROBE=$1 bash "$top/tools/check-ia32.sh" >"$scratch/out" 2>"$scratch/err"
}
check true || fail "a probe that runs was refused: $(cat "$scratch/err")"
[ -s "$scratch/out" ] || [ -s "$scratch/err" ] && fail "a probe that runs gave output"
for probe in "$scratch/refused" "$scratch/missing"; do
  check "$probe"
  status=$?
  [ $status = 2 ] || fail "$probe: status $status, wanted 2"
  grep -q "cannot run 32-bit programs" "$scratch/err" || fail "$probe: no word of 32-bit programs"
  grep -q "ia32_emulation" "$scratch/err" || fail "$probe: no word of how to tell"
done

# The whole set-up: it stops after the package step, before any build folder.
build=$scratch/build
VARN_BUILD=$build VARN_I386_PROBE="$scratch/refused" bash "$top/tools/setup.sh" >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status = 2 ] || fail "setup: status $status, wanted 2: $(cat "$scratch/err")"
grep -q "cannot run 32-bit programs" "$scratch/err" || fail "setup said nothing of 32-bit programs"
grep -q "nothing else was changed" "$scratch/err" || fail "setup did not say that nothing else was changed"
[ -e "$build" ] && fail "setup made $build"
echo "setup check: ok"
