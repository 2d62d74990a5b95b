#!/bin/sh
# File operations across volumes: a file moved onto another volume (a game folder the
# player moved to another drive behind a junction) arrives; an atomic write onto a
# full volume fails as disk_space, keeps the old file and leaves no temporary file.
# The volume is a 1 MiB RAM disk mounted for the test, which needs root; without it
# the test says so and passes.
#   ram_disk_test.sh <runner> <system_helper.exe> <work folder>
set -u
runner="$1"
probe="$2"
work="$3"

if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: mounting a RAM disk needs root"
  exit 0
fi
volume="$work/ram_disk_volume.$$"
mkdir -p "$volume"
if ! mount -t tmpfs -o size=1m tmpfs "$volume" 2>"$work/mount_error.$$"; then
  echo "SKIPPED: mounting a RAM disk is not permitted here: $(cat "$work/mount_error.$$")"
  rm -f "$work/mount_error.$$"
  rmdir "$volume"
  exit 0
fi
rm -f "$work/mount_error.$$"
cleanup() {
  umount "$volume" 2>/dev/null || umount -l "$volume" 2>/dev/null
  rmdir "$volume" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

failures=0
# printf, not echo: the Windows paths hold backslashes.
fail() {
  printf 'FAILED: %s\n' "$*"
  failures=$((failures + 1))
}

# Wine shows the Linux root as drive Z:.
windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }
target_linux="$volume/state.json"
target=$(windows_path "$target_linux")

# A move from this folder's volume onto the RAM disk: the system copies it over.
source_linux="$work/moved_across.$$"
printf 'moved across volumes' >"$source_linux"
output=$("$runner" "$probe" replace "$(windows_path "$source_linux")" "$(windows_path "$volume/moved")" 2>/dev/null |
         tr -d '\r')
[ "$output" = "ok" ] || fail "move across volumes: expected ok, got: $output"
[ "$(cat "$volume/moved" 2>/dev/null)" = "moved across volumes" ] || fail "move across volumes: content"
[ ! -e "$source_linux" ] || fail "move across volumes: the source stayed"
rm -f "$source_linux" "$volume/moved"

# With room, the same write succeeds: what fails below is the volume being full.
output=$("$runner" "$probe" write-atomic "$target" 1000 2>/dev/null | tr -d '\r')
[ "$output" = "ok" ] || fail "write with room: expected ok, got: $output"
[ "$(wc -c <"$target_linux")" -eq 1000 ] || fail "write with room: wrong size"

printf 'old content' >"$target_linux"
dd if=/dev/zero of="$volume/filler" bs=4096 2>/dev/null
[ "$(df --output=avail "$volume" | tail -n 1 | tr -d ' ')" -eq 0 ] || fail "the volume is not full"

output=$("$runner" "$probe" write-atomic "$target" 2097152 2>/dev/null | tr -d '\r')
printf 'full volume: %s\n' "$output"
expected_start="disk_space Could not write $target.tmp: "
case "$output" in
  "$expected_start"*" (Win32 error 112)") ;;
  *) fail "full volume: expected \"$expected_start... (Win32 error 112)\", got: $output" ;;
esac
[ "$(cat "$target_linux")" = "old content" ] || fail "the old file changed: $(cat "$target_linux")"
[ ! -e "$target_linux.tmp" ] || fail "the temporary file was left behind"

[ "$failures" -eq 0 ] || exit 1
echo "moved across volumes; disk full: old file kept, no temporary file left"
exit 0
