# Sourced by the benchmark scripts.
#   bench_prefix BUILD NAME   a Wine prefix of the benchmark's own in BUILD/NAME, copied
#                             from the build's pristine template, its server started;
#                             removed at exit unless BENCH_KEEP=1. A 64-bit build
#                             (one with BUILD/wine-bin) runs in a 64-bit prefix, with
#                             Wine's 64-bit loader as "wine"
#   bench_display             after bench_prefix: an Xvfb display of the benchmark's own
#                             (DISPLAY exported), stopped at exit
bench_prefix() {
  export WINEPREFIX=$1/$2
  export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ -x "$1/wine-bin/wine" ]; then
    export WINEARCH=win64 PATH=$1/wine-bin:$PATH
  fi
  trap bench_prefix_cleanup EXIT
  rm -rf "$WINEPREFIX"
  cp -a "$1/wineprefix-template" "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}

bench_display() {
  local number_file
  number_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number_file" </dev/null >/dev/null 2>&1 &
  BENCH_XVFB_PID=$!
  local i
  for i in $(seq 1 50); do
    [ -s "$number_file" ] && break
    sleep 0.2
  done
  [ -s "$number_file" ] || { echo "no Xvfb display could be started" >&2; exit 1; }
  export DISPLAY=":$(tr -dc 0-9 <"$number_file")"
  rm -f "$number_file"
}

bench_prefix_cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -z "${BENCH_XVFB_PID:-}" ] || kill "$BENCH_XVFB_PID" 2>/dev/null || true
  [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$WINEPREFIX"
}
