#!/usr/bin/env bash
# The package under the container's own systemd: its units verify, and keep
# an instance's exposure at 1.5 or less; its service trims a folder at 85 %,
# reports a missing one, and falls short on a folder full of other data; the
# folder's timer is enabled. Every line a run writes to standard error
# reaches the journal as an error, and nothing else of the run does: here a
# run that can't read its index. The package's own files are lintian's to
# judge, but for the README; the build it was made from keeps its symbols,
# for whoever installs the command another way and strips it their own.
set -euxo pipefail
dpkg -i /src/build/default/msgdb-trim_*_amd64.deb
test -z "$(systemd-analyze verify msgdb-trim@mnt-data.service msgdb-trim@mnt-data.timer 2>&1)"
systemd-analyze security --offline=true --threshold=15 msgdb-trim@mnt-data.service | tail -n 1
test -f /usr/share/doc/msgdb-trim/README.md
readelf -S /src/build/default/msgdb-trim | grep -q symtab
mkdir -p /mnt/data /srv/full /srv/prio/msgdb.idx
mount -t tmpfs -o size=4m data /mnt/data
mount -t tmpfs -o size=1m full /srv/full
for i in 1 2 3 4 5 6 7 8 9; do head -c 327680 /dev/zero >/mnt/data/0000000$i.movra.msg.db; done
echo 5 >/mnt/data/msgdb.idx
head -c 544768 /dev/zero >/mnt/data/notes.txt
head -c 900000 /dev/zero >/srv/full/other
head -c 4096 /dev/zero >/srv/full/00000001.movra.msg.db
systemctl start msgdb-trim@mnt-data.service msgdb-trim@srv-missing.service \
  msgdb-trim@srv-full.service msgdb-trim@srv-prio.service
test -e /mnt/data/00000005.movra.msg.db
test ! -e /mnt/data/00000006.movra.msg.db
systemctl enable --now msgdb-trim@mnt-data.timer
test "$(systemctl show -P TimeoutStartUSec msgdb-trim@mnt-data.service)" = 15min
journalctl --sync
test "$(journalctl -p err -o cat -u msgdb-trim@srv-prio.service)" = "read: Is a directory"
journalctl -o cat -u msgdb-trim@srv-prio.service | grep -qx "Current index 0"
