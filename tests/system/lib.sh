# Sourced by the system test scripts. Each test gets a Wine prefix of its own
# (a copy of the build's pristine template), its own output folder, and leaves
# nothing running.
#
#   varn_begin NAME        make $VARN_OUT (output folder) and a fresh prefix; start its server
#   varn_wine ARGS...      run a Windows program in the test's prefix
#   varn_wait_for SECONDS COMMAND...   poll COMMAND every 0.2 s until it succeeds; fails after SECONDS
#   varn_xvfb              start an Xvfb display for the test (DISPLAY is exported)
#   varn_virtual_desktop   after varn_begin: run the prefix's windows in a Wine virtual desktop
#   varn_fail TEXT         report a failure and end the test
#   varn_c PATH            the Linux path of a C:\ path in the test's prefix
# Cleanup (server killed, Xvfb stopped, prefix removed) runs on exit.
# Nothing runs in a prefix without the test prefixes' mark (see
# tests/support/test_prefix.h): the test ends with status 3 instead.
set -u

: "${VARN_BUILD:?VARN_BUILD must name the build folder}"
VARN_TEMPLATE_PREFIX=${VARN_TEMPLATE_PREFIX:-$VARN_BUILD/wineprefix-template}
VARN_TEST_MARK=drive_c/varn-test-prefix.txt

# Ends the test at once, touching nothing, unless PREFIX carries the mark.
varn_require_test_prefix() {
  [ -f "$1/$VARN_TEST_MARK" ] && return 0
  echo "Refusing to run: the Wine prefix $1 is not a VarnBack test prefix (C:\\varn-test-prefix.txt is" \
    "missing). The tests delete C:\\ProgramData\\Varnoke and the backup settings of the prefix they run in." \
    "Test prefixes are the wineprefix and wineprefix-template folders of a build, which tools/setup.sh makes" \
    "and marks; run it again to restore a lost mark." >&2
  exit 3
}

export WINEARCH=${VARN_WINEARCH:-win32}
# The 64-bit test build's loader, as "wine" (CMakeLists.txt).
if [ -n "${VARN_WINE_BIN:-}" ]; then export PATH=$VARN_WINE_BIN:$PATH; fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

varn_fail() {
  echo "FAIL: $*" >&2
  exit 1
}

varn_cleanup() {
  local status=$?
  if [ -n "${WINEPREFIX:-}" ] && [ -d "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
    # let this prefix's server let go of the prefix before it is removed
    timeout 10 wineserver -w >/dev/null 2>&1 || true
    if [ "${VARN_KEEP_PREFIX:-0}" != 1 ]; then rm -rf "$WINEPREFIX"; fi
  fi
  if [ -n "${VARN_XVFB_PID:-}" ]; then kill "$VARN_XVFB_PID" 2>/dev/null || true; fi
  exit $status
}

varn_begin() {
  local name=$1
  varn_require_test_prefix "$VARN_TEMPLATE_PREFIX"
  VARN_OUT=$VARN_BUILD/test-output/$name
  rm -rf "$VARN_OUT"
  mkdir -p "$VARN_OUT"
  export WINEPREFIX=$VARN_OUT/prefix
  trap varn_cleanup EXIT
  cp -a "$VARN_TEMPLATE_PREFIX" "$WINEPREFIX" || varn_fail "could not copy the template prefix"
  wineserver -p </dev/null >/dev/null 2>&1 || true
  # Wine's own background processes start with the first program; give them no
  # output pipes, or they would hold the test runner's pipes open.
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}

varn_wine() {
  varn_require_test_prefix "${WINEPREFIX:-$HOME/.wine}"
  wine "$@"
}

varn_c() {
  # C:\a\b -> <prefix>/drive_c/a/b
  local p=${1#[Cc]:}
  p=${p//\\//}
  printf '%s/drive_c%s\n' "$WINEPREFIX" "$p"
}

varn_wait_for() {
  local limit=$1; shift
  local end=$(( $(date +%s%N) + limit * 1000000000 ))
  while [ "$(date +%s%N)" -lt "$end" ]; do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}

# Xvfb picks a free display itself (-displayfd), so tests that start at the
# same moment never share one. Start it before varn_begin: Wine's desktop
# process starts with the prefix's first program and keeps the display it found.
varn_xvfb() {
  local number_file
  number_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number_file" </dev/null >/dev/null 2>&1 &
  VARN_XVFB_PID=$!
  varn_wait_for 10 test -s "$number_file" || { rm -f "$number_file"; varn_fail "no Xvfb display could be started"; }
  export DISPLAY=":$(tr -dc 0-9 <"$number_file")"
  rm -f "$number_file"
}

# On a bare X display with no window manager each message box takes two seconds
# to appear; inside a virtual desktop it shows at once. The prefix's server is
# restarted so that the setting holds from its next program on.
varn_virtual_desktop() {
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f </dev/null >/dev/null 2>&1
  wineserver -k </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}
