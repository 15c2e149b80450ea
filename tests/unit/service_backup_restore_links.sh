#!/bin/sh
# Runs the link tests of the restore. Wine cannot make links itself, so they are
# made here from Linux inside the prefix, handed to the test program in
# VARN_RESTORE_LINKS, and removed afterwards. Wine shows a link to a folder as
# DIRECTORY|REPARSE_POINT (0x410), does not show a dangling link at all (error
# 2), and shows a link to a file as the plain file it leads to.
# usage: service_backup_restore_links.sh WINE_RUN PREFIX PROGRAM [ARGS...]
set -u
run=$1
prefix=$2
shift 2
name=svcbackup-restore-links-$$
tree=$prefix/drive_c/varntest/$name
cleanup() {
  rm -rf "$tree"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# outside stands for a folder only the service may write, such as System32.
mkdir -p "$tree/outside" "$tree/chosen/real" "$tree/chosen2" "$tree/abovetarget/inner" || exit 1
echo "outside's own" >"$tree/outside/keep.txt"
ln -s ../outside "$tree/chosen/Docs" || exit 1               # right below the chosen folder
ln -s ../../outside "$tree/chosen/real/deep" || exit 1       # deeper down
ln -s ../../outside "$tree/chosen/real/dir.txt" || exit 1    # at the target's own name
ln -s ../../outside/missing "$tree/chosen/real/gone" || exit 1          # dangling, as a folder
ln -s ../../outside/missing.txt "$tree/chosen/real/dangling.txt" || exit 1  # dangling, as the target
ln -s chosen2 "$tree/linkedchosen" || exit 1                 # the chosen folder itself
ln -s abovetarget "$tree/above" || exit 1                    # a folder above the chosen one

VARN_RESTORE_LINKS="C:\\varntest\\$name" "$run" "$@"
status=$?
exit $status
