#!/usr/bin/env bash
# A run that hangs (waiting for a lock that something outside holds) is ended
# at the start timeout, shortened here by a drop-in, and leaves the unit
# failed; once the lock is let go the timer, made quicker too, starts a run
# that trims.
set -euxo pipefail
dropins=/etc/systemd/system/msgdb-trim@srv-hang
mkdir -p /srv/hang "$dropins.service.d" "$dropins.timer.d"
mount -t tmpfs -o size=1m hang /srv/hang
head -c 901120 /dev/zero >/srv/hang/00000001.movra.msg.db
install -m 600 /dev/null /srv/hang/.msgdb-trim.lock
exec 9</srv/hang/.msgdb-trim.lock
flock 9
printf "[Service]\nTimeoutStartSec=3s\n" >"$dropins.service.d/t.conf"
printf "[Timer]\nOnUnitActiveSec=\nOnBootSec=30s\nOnUnitActiveSec=15s\n" >"$dropins.timer.d/t.conf"
systemctl daemon-reload
systemctl start msgdb-trim@srv-hang.timer
timeout 90 sh -c "until systemctl is-failed -q msgdb-trim@srv-hang.service; do sleep 1; done"
journalctl -u msgdb-trim@srv-hang.service | grep -q "Failed with result .timeout"
test -e /srv/hang/00000001.movra.msg.db
exec 9<&-
timeout 60 sh -c "while [ -e /srv/hang/00000001.movra.msg.db ]; do sleep 1; done"
systemctl stop msgdb-trim@srv-hang.timer
rm -r "$dropins.service.d" "$dropins.timer.d"
systemctl daemon-reload
