# Sourced by the benchmark scripts.
#   bench_prefix BUILD NAME   a Wine prefix of the benchmark's own in BUILD/NAME, copied
#                             from the build's pristine template, its server started;
#                             removed at exit unless BENCH_KEEP=1
bench_prefix() {
  export WINEPREFIX=$1/$2
  export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap bench_prefix_cleanup EXIT
  rm -rf "$WINEPREFIX"
  cp -a "$1/wineprefix-template" "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}

bench_prefix_cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$WINEPREFIX"
}
