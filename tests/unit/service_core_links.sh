#!/bin/sh
# Runs the link tests of the folder walk. Wine cannot make folder links or
# drive letters itself, so they are made here from Linux inside the prefix,
# handed to the test program in VARN_LINK_TREE and VARN_LINK_DRIVE, and removed
# afterwards.
# usage: service_core_links.sh WINE_RUN PREFIX PROGRAM [ARGS...]
set -u
run=$1
prefix=$2
shift 2
name=svccore-links-$$
tree=$prefix/drive_c/varntest/$name
drive=
cleanup() {
  rm -rf "$tree"
  if [ -n "$drive" ]; then rm -f "$prefix/dosdevices/$drive"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mkdir -p "$tree/loop/a/b" "$tree/drive" || exit 1
echo one >"$tree/loop/a/one.txt"
echo two >"$tree/loop/a/b/two.txt"
ln -s .. "$tree/loop/a/back" || exit 1  # the watched folder itself
ln -s .. "$tree/loop/a/b/up" || exit 1  # its ancestor a
ln -s a "$tree/loop/side" || exit 1     # a second way into a, no loop by itself

for letter in q r s t u v w x y; do
  if [ ! -e "$prefix/dosdevices/$letter:" ] && [ ! -L "$prefix/dosdevices/$letter:" ]; then
    drive=$letter:
    break
  fi
done
if [ -z "$drive" ]; then
  echo "no free drive letter in $prefix/dosdevices" >&2
  exit 1
fi
ln -s "$tree/drive" "$prefix/dosdevices/$drive" || exit 1

VARN_LINK_TREE="C:\\varntest\\$name" VARN_LINK_DRIVE="$drive" "$run" "$@"
status=$?
exit $status
