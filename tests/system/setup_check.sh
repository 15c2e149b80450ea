#!/usr/bin/env bash
# The set-up's check for a kernel that runs 32-bit programs, with the program it
# tries replaced: one that runs, one the kernel refuses ("Exec format error",
# status 126), one that fails otherwise, one that is missing; the check says
# what each did. Without such a kernel the set-up stops once the packages are
# in, says what is missing and how to tell and whether it installed anything,
# and touches no build folder; for the tests it says first that they go on
# with the 64-bit build.
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
printf '#!/bin/sh\nexit 1\n' >"$scratch/failing"
chmod +x "$scratch/failing"
# probe | what the message must say of it (a grep pattern) | what it must not
while IFS='|' read -r probe said unsaid; do
  check "$scratch/$probe"
  status=$?
  [ $status = 2 ] || fail "$probe: status $status, wanted 2"
  grep -q "cannot run 32-bit programs" "$scratch/err" || fail "$probe: no word of 32-bit programs"
  grep -q "ia32_emulation" "$scratch/err" || fail "$probe: no word of how to tell"
  tr '\n' ' ' <"$scratch/err" | tr -s ' ' | grep -q "$said" || fail "$probe: does not say '$said': $(cat "$scratch/err")"
  [ -z "$unsaid" ] || ! grep -q "$unsaid" "$scratch/err" || fail "$probe: says '$unsaid' unseen: $(cat "$scratch/err")"
  awk 'length > 82 { exit 1 }' "$scratch/err" || fail "$probe: a line wider than the message: $(cat "$scratch/err")"
done <<'TABLE'
refused|status 126, saying: cannot execute binary file: Exec format error\. That is the kernel refusing|
failing|status 1 and said nothing|Exec format error
missing|status 127, saying: .*missing: No such file or directory|Exec format error
TABLE

# For the tests: the news that they go on comes first, and on standard output.
VARN_I386_PROBE="$scratch/refused" bash "$top/tools/check-ia32.sh" --tests >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status = 2 ] || fail "--tests: status $status, wanted 2"
head -n 1 "$scratch/out" | grep -q "the tests go on with a 64-bit build" ||
  fail "--tests: the first line does not say that the tests go on: $(cat "$scratch/out")"
grep -q "Exec format error" "$scratch/out" || fail "--tests: no reason given"
[ -s "$scratch/err" ] && fail "--tests: wrote to standard error: $(cat "$scratch/err")"
awk 'length > 82 { exit 1 }' "$scratch/out" || fail "--tests: a line wider than the message"

# The whole set-up: it stops after the package step, before any build folder.
build=$scratch/build
VARN_BUILD=$build VARN_I386_PROBE="$scratch/refused" bash "$top/tools/setup.sh" >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status = 2 ] || fail "setup: status $status, wanted 2: $(cat "$scratch/err")"
grep -q "cannot run 32-bit programs" "$scratch/err" || fail "setup said nothing of 32-bit programs"
# The packages are in already (the tests run after the set-up): none was installed.
grep -q "No package needed installing; nothing was changed." "$scratch/err" ||
  fail "setup did not say that nothing was changed: $(cat "$scratch/err")"
grep -q "packages were installed" "$scratch/err" && fail "setup said it installed packages: $(cat "$scratch/err")"
[ -e "$build" ] && fail "setup made $build"
echo "setup check: ok"
