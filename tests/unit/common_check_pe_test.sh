#!/usr/bin/env bash
# common_check_pe_test.sh CHECK OBJDUMP GOOD NEWER_IMPORT NEWER_SUBSYSTEM:
# the program check accepts an XP program and refuses the two faulty ones.
set -u
check=$1 objdump=$2 good=$3 newer_import=$4 newer_subsystem=$5
fail() { echo "FAIL: $*"; exit 1; }

out=$("$check" "$objdump" "$good" 2>&1) || fail "a program for XP was refused: $out"
echo "$out"

out=$("$check" "$objdump" "$newer_import" 2>&1) && fail "a program importing GetTickCount64 was accepted: $out"
grep -q 'imports newer than XP:.*GetTickCount64' <<<"$out" || fail "the refusal does not name GetTickCount64: $out"
echo "$out"

out=$("$check" "$objdump" "$newer_subsystem" 2>&1) && fail "a program of subsystem version 6.0 was accepted: $out"
grep -q 'subsystem version 6.0' <<<"$out" || fail "the refusal does not name the subsystem version: $out"
echo "$out"

# One faulty program among good ones fails the whole check.
"$check" "$objdump" "$good" "$newer_import" "$good" >/dev/null 2>&1 && fail "a faulty program among good ones passed"
"$check" "$objdump" >/dev/null 2>&1 && fail "a check of no programs passed"
echo ok
