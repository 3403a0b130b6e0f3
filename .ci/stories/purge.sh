#!/usr/bin/env bash
# A purge of the package leaves no unit and no link behind.
set -euxo pipefail
dpkg --purge msgdb-trim
[ -z "$(find /etc/systemd/system /usr/lib/systemd/system -name "msgdb-trim@*")" ]
[ -z "$(systemctl list-units --all --no-legend "msgdb-trim@*")" ]
