#!/usr/bin/env bash
# Makes a fresh Debian 12 machine ready to build and test VarnBack: packages,
# the SQLite amalgamation, the configured build tree and the project's own Wine
# prefix. Safe to run again; run as root.
#
# The programs are 32-bit and run under Wine's 32-bit loader, which needs a
# kernel that runs 32-bit x86 programs. Without one, this stops once the
# packages are in, changing nothing else; with --tests (tools/test.sh) it sets
# up a 64-bit build of the same sources in $build/win64 instead, for the tests
# to run under 64-bit Wine, beside the 32-bit build that still makes the
# programs and checks them.
set -euo pipefail
tests_mode=0
[ "${1:-}" = --tests ] && tests_mode=1

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
  changed=1
fi
# install_missing PACKAGE...: installs those not installed yet.
install_missing() {
  local p missing=()
  for p in "$@"; do
    # npm and nodejs may come from elsewhere than Debian; a working command is enough.
    case $p in nodejs|npm) command -v "$p" >/dev/null 2>&1 && continue ;; esac
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    need_update=
    changed=1
  fi
}
install_missing "${packages[@]}"
if [ -n "${need_update:-}" ]; then
  apt-get update -qq
fi

win64=0
if [ $tests_mode = 0 ]; then
  if ! bash "$top/tools/check-ia32.sh"; then
    if [ -n "${changed:-}" ]; then
      echo "  Only the packages were installed; nothing else was changed." >&2
    else
      echo "  No package needed installing; nothing was changed." >&2
    fi
    exit 2
  fi
elif ! bash "$top/tools/check-ia32.sh" --tests; then
  say "the 64-bit build is made in $build/win64"
  win64=1
  install_missing wine64 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
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
# make_tree FOLDER ARCH LOADER TOOLCHAIN: the prefixes and the configured build tree.
make_tree() {
  local tree=$1 arch=$2 loader=$3 toolchain=$4
  local template=$tree/wineprefix-template prefix=$tree/wineprefix
  if [ ! -f "$template/.varn-ready" ]; then
    say "making the Wine prefix $template"
    rm -rf "$template" "$prefix"
    mkdir -p "$tree"
    WINEPREFIX=$template WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      "$loader" wineboot -i </dev/null >/dev/null 2>&1 || true
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
  say "configuring $tree"
  cmake -S "$top" -B "$tree" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$toolchain" \
    -DVARN_SQLITE_DIR="$sqlite_dir" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
}

# The 32-bit tree makes the programs; without a kernel for them it makes no prefix.
if [ $win64 = 0 ]; then
  make_tree "$build" win32 wine mingw-i686.cmake
  rm -f "$build/tests-tree"
else
  mkdir -p "$build"
  say "configuring $build"
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" \
    -DVARN_SQLITE_DIR="$sqlite_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  make_tree "$build/win64" win64 /usr/lib/wine/wine64 mingw-x86_64.cmake
  # Where tools/test.sh runs the tests.
  echo "$build/win64" >"$build/tests-tree"
fi
say "ready: $build"
