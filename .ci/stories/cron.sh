#!/usr/bin/env bash
# The README's cron command, given as $1, with BusyBox's sh, timeout and
# logger alone: a run's lines in order, at one priority; a run whose command
# is missing leaves its status, and nothing else, at user.err.
set -euxo pipefail
mkdir -p /bb /srv/cron/msgdb.idx
busybox --install -s /bb
PATH=/bb /bin/busybox sh -c "${1//\/mnt\/data//srv/cron}"
PATH=/bb /bin/busybox sh -c "${1//\/usr\/sbin\/msgdb-trim//usr/sbin/missing}"
journalctl --sync
journalctl -o cat -t msgdb-trim _TRANSPORT=syslog >/tmp/cron.log
grep -A1 -x "Reading log idx from file..." /tmp/cron.log | grep -qx "read: Is a directory"
test "$(journalctl -p err -o cat -t msgdb-trim _TRANSPORT=syslog)" = "Exited with status 127"
test "$(journalctl -o cat -t msgdb-trim SYSLOG_FACILITY=1 PRIORITY=3)" = "Exited with status 127"
