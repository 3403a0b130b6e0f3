#!/usr/bin/env bash
# Every line a run writes to standard error reaches the journal as an error,
# and nothing else of the run does: here a run that can't read its index.
set -euxo pipefail
mkdir -p /srv/prio/msgdb.idx
systemctl start msgdb-trim@srv-prio.service
journalctl --sync
test "$(journalctl -p err -o cat -u msgdb-trim@srv-prio.service)" = "read: Is a directory"
journalctl -o cat -u msgdb-trim@srv-prio.service | grep -qx "Current index 0"
