#!/bin/sh
# Runs the full-disk case against a really full filesystem: a 256 KiB tmpfs mounted in
# a private mount namespace. Skipped (77) where the machine does not allow one.
tests="$1"
dir=$(mktemp -d) || exit 1
trap 'rmdir "$dir"' EXIT
unshare -m true 2>/dev/null || exit 77
unshare -m sh -c 'mount -t tmpfs -o size=256k tmpfs "$1" || exit 77
SKIRMISH_SMALL_FS="$1" "$2" --gtest_filter=Disk.a_full_disk_stops_the_recording_on_its_last_whole_block*' sh "$dir" "$tests"
