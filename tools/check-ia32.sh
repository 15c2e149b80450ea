#!/usr/bin/env bash
# Whether this machine's kernel runs 32-bit x86 programs, which Wine's 32-bit
# loader (and so every VarnBack program) needs. Silent with status 0 when it
# does; otherwise it says what is missing and how to tell, on standard error,
# with status 2.
#
# VARN_I386_PROBE names the 32-bit program to try (Wine's 32-bit loader by
# default); a test points it elsewhere to see the refusal on any machine.
set -u
probe=${VARN_I386_PROBE:-/usr/lib/wine/wine}
if "$probe" --version >/dev/null 2>&1; then
  exit 0
fi
cat >&2 <<MESSAGE
setup: this machine cannot run 32-bit programs: its kernel does not run 32-bit x86
  (i386) programs, so Wine's 32-bit loader ($probe) cannot start ("Exec format
  error"), and the VarnBack programs are 32-bit. A kernel that runs them is needed.
  To tell: a kernel built without IA-32 emulation (CONFIG_IA32_EMULATION not set),
  or one that has it switched off, by ia32_emulation=off on the kernel command line
  (/proc/cmdline) or by CONFIG_IA32_EMULATION_DEFAULT_DISABLED without
  ia32_emulation=on; the kernel log then says "32-bit emulation disabled".
MESSAGE
exit 2
