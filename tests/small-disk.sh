#!/bin/sh
# small-disk.sh mount|unmount DIR: a disk that really fills up, a 1 MiB tmpfs at
# DIR. Mounting needs root; where it is refused, DIR stays a plain folder and the
# tests of a full disk say so and skip.
dir=$2
if mountpoint -q "$dir"; then umount "$dir" 2>/dev/null || umount -l "$dir"; fi
if [ "$1" = mount ]; then
    mkdir -p "$dir"
    mount -t tmpfs -o size=1m moravel-small-disk "$dir" 2>/dev/null ||
        echo "mounting a tmpfs at $dir was refused: the tests of a full disk will skip"
fi
exit 0
