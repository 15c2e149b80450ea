#!/usr/bin/env bash
# Makes a fresh Debian 12 machine ready to build and test VarnBack: packages,
# the SQLite amalgamation, the configured build tree and the project's own Wine
# prefix. Safe to run again; run as root.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VARN_BUILD:-$top/build}
sqlite_package=better-sqlite3@12.11.1
sqlite_tarball=better-sqlite3-12.11.1.tgz

say() { printf 'setup: %s\n' "$*"; }

packages=(
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
  cmake ninja-build doctest-dev
  wine wine32:i386 xvfb xauth imagemagick x11-apps xdotool
  sqlite3 nodejs npm ca-certificates python3
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  say "adding the i386 architecture"
  dpkg --add-architecture i386
  need_update=1
fi
missing=()
for p in "${packages[@]}"; do
  # npm and nodejs may come from elsewhere than Debian; a working command is enough.
  case $p in nodejs|npm) command -v "$p" >/dev/null 2>&1 && continue ;; esac
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [ -n "${need_update:-}" ]; then
  apt-get update -qq
fi

# SQLite amalgamation, checked against the recorded digests; never committed.
deps=$build/_deps
sqlite_dir=$deps/sqlite3
check_sqlite() {
  [ -f "$sqlite_dir/sqlite3.c" ] && [ -f "$sqlite_dir/sqlite3.h" ] || return 1
  (cd "$sqlite_dir" && grep -E ' sqlite3\.(c|h)$' "$top/deps/sqlite3.sha256" | sha256sum --quiet -c -)
}
if ! check_sqlite; then
  say "fetching $sqlite_package"
  mkdir -p "$deps"
  rm -rf "$deps/pack" && mkdir -p "$deps/pack"
  (cd "$deps/pack" && npm pack --silent "$sqlite_package" >/dev/null)
  (cd "$deps/pack" && grep " $sqlite_tarball\$" "$top/deps/sqlite3.sha256" | sha256sum --quiet -c -)
  tar -xzf "$deps/pack/$sqlite_tarball" -C "$deps/pack" package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h
  rm -rf "$sqlite_dir" && mkdir -p "$sqlite_dir"
  mv "$deps/pack/package/deps/sqlite3/sqlite3.c" "$deps/pack/package/deps/sqlite3/sqlite3.h" "$sqlite_dir/"
  rm -rf "$deps/pack"
  check_sqlite || { say "SQLite digests do not match"; exit 1; }
fi

# The project's own Wine prefixes (never ~/.wine): a pristine template that
# system tests copy, and the prefix the unit tests share. Mono and Gecko are not wanted.
template=$build/wineprefix-template
prefix=$build/wineprefix
# Both carry the test prefixes' mark (tests/support/test_prefix.h): the tests
# wipe the machine folders and settings of their prefix and refuse to run in
# one without it. tools/run.sh takes it out of its copy; no other prefix gets it.
test_mark=drive_c/varn-test-prefix.txt
mark_test_prefix() {
  [ -f "$1/$test_mark" ] && return 0
  printf '%s\r\n' "VarnBack test prefix: the project's tests run here and delete C:\ProgramData\Varnoke" \
    "and the backup settings at will. Never put this file into a prefix that a real service uses." \
    >"$1/$test_mark"
}
if [ ! -f "$template/.varn-ready" ]; then
  say "making the Wine prefix $template"
  rm -rf "$template" "$prefix"
  mkdir -p "$build"
  WINEPREFIX=$template WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    wineboot -i </dev/null >/dev/null 2>&1 || true
  WINEPREFIX=$template wineserver -w
  [ -f "$template/system.reg" ] || { say "wineboot made no prefix"; exit 1; }
  touch "$template/.varn-ready"
fi
if [ ! -f "$prefix/.varn-ready" ]; then
  rm -rf "$prefix"
  cp -a "$template" "$prefix"
fi
mark_test_prefix "$template"
mark_test_prefix "$prefix"

say "configuring $build"
cmake -S "$top" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
say "ready: $build"
