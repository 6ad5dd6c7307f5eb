#!/bin/sh
# small-disk.sh mount|unmount DIR
#
# A disk that really fills up, for the tests of a copy that fails halfway: a
# 1 MiB tmpfs at DIR. Mounting needs root; where it is refused, DIR stays a
# plain folder and the tests that need a full disk say so and skip.
set -u
dir=$2
case $1 in
mount)
    mkdir -p "$dir"
    if mountpoint -q "$dir"; then umount "$dir" 2>/dev/null || umount -l "$dir"; fi
    if mount -t tmpfs -o size=1m moravel-small-disk "$dir" 2>/dev/null; then
        echo "a 1 MiB tmpfs at $dir"
    else
        echo "mounting a 1 MiB tmpfs at $dir was refused: the tests of a full disk will skip"
    fi
    ;;
unmount)
    if mountpoint -q "$dir"; then umount "$dir" 2>/dev/null || umount -l "$dir"; fi
    ;;
esac
exit 0
