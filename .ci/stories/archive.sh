#!/usr/bin/env bash
# The README's archive route: /root/msgdb-trim.tar.gz unpacked by the
# README's lines, $1, with BusyBox's tar, which leaves the folders and links
# that are there alone, and brings nothing of the package's own (lintian's
# overrides); then its timer, started by the README's lines, $2,
# trims a folder at 85 %.
set -euxo pipefail
umount /mnt/data
mount -t tmpfs -o size=4m data /mnt/data
for i in 1 2 3 4 5 6 7 8 9; do head -c 327680 /dev/zero >/mnt/data/0000000$i.movra.msg.db; done
echo 5 >/mnt/data/msgdb.idx
head -c 544768 /dev/zero >/mnt/data/notes.txt
folders=(/usr/sbin /usr/lib/systemd/system /usr/share/man/man8 /usr/share/doc)
before=$(stat -c '%U %a' "${folders[@]}")
cd /root
test "$(PATH=/bb:$PATH command -v tar)" = /bb/tar
PATH=/bb:$PATH bash -euxc "$1"
test "$(stat -c '%U %a' "${folders[@]}")" = "$before"
test -L /sbin
test ! -e /usr/share/lintian/overrides/msgdb-trim
bash -euxc "$2"
timeout 90 sh -c 'while [ -e /mnt/data/00000006.movra.msg.db ]; do sleep 1; done'
test -e /mnt/data/00000005.movra.msg.db
