#!/usr/bin/env bash
# Whether this machine runs 32-bit x86 programs, which Wine's 32-bit loader
# (and so every VarnBack program) needs. Silent with status 0 when it does;
# otherwise it says what the loader did, what is missing and how to tell, with
# status 2: on standard error, or, with --tests (the tests then go on with a
# 64-bit build), on standard output and led by that news.
#
# VARN_I386_PROBE names the 32-bit program to try (Wine's 32-bit loader by
# default); a test points it elsewhere to see the refusal on any machine.
set -u
tests_mode=0
[ "${1:-}" = --tests ] && tests_mode=1
probe=${VARN_I386_PROBE:-/usr/lib/wine/wine}
said=$("$probe" --version 2>&1 >/dev/null)
status=$?
[ $status = 0 ] && exit 0

# What the probe itself did: its status and the last thing it said on standard error.
# The shell's own "check-ia32.sh: line N: " in front of a failed start says nothing of the probe.
said=$(printf '%s\n' "$said" | sed -e '/^[[:space:]]*$/d' -e "s|^$0: line [0-9]*: ||" | tail -n 1)
if [ -n "$said" ]; then
  outcome="ended with status $status, saying: $said"
else
  outcome="ended with status $status and said nothing"
fi
# The kernel's refusal of a 32-bit program reads "Exec format error".
cause=
case $said in
  *"Exec format error"*) cause=" That is the kernel refusing 32-bit x86 (i386) programs." ;;
esac

message() {
  if [ $tests_mode = 1 ]; then
    cat <<LEAD
setup: the tests go on with a 64-bit build of the same sources under 64-bit Wine;
  the 32-bit programs are still built and their PE checks run. The reason:
LEAD
  fi
  # The probe's own words may be long: they are folded to the message's width.
  fold -s -w 78 <<MESSAGE | sed -e 's/ *$//' -e '1!s/^/  /'
setup: this machine cannot run 32-bit programs. Wine's 32-bit loader ($probe) $outcome.$cause
MESSAGE
  cat <<MESSAGE
  The VarnBack programs are 32-bit: a kernel that runs 32-bit x86 programs is
  needed. To tell: a kernel built without IA-32 emulation (CONFIG_IA32_EMULATION
  not set), or one that has it switched off, by ia32_emulation=off on the kernel
  command line (/proc/cmdline) or by CONFIG_IA32_EMULATION_DEFAULT_DISABLED
  without ia32_emulation=on; the kernel log then says "32-bit emulation disabled".
MESSAGE
}
if [ $tests_mode = 1 ]; then
  message
else
  message >&2
fi
exit 2
