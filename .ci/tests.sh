#!/usr/bin/env bash
# The README's test command as root, then the same tests with root's
# inheritable capabilities raised, as a container (systemd-nspawn, say) hands
# them to root: they must not come back to the tool where a test takes them
# away. Then the README's command as an ordinary user from a fresh clone in a
# 0700 home, and the sanitizer and ARM workflows. Leaves build/default,
# build/aarch64 and build/armhf.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset default
setpriv --inh-caps=+dac_override,+dac_read_search ctest --preset default

user=msgdb-ci
id "$user" >/dev/null 2>&1 || useradd --create-home "$user"
home=$(getent passwd "$user" | cut -d: -f6)
chmod 700 "$home"
rm -rf "$home/msgdb-trim"
git clone -q . "$home/msgdb-trim"
chown -R "$user:" "$home/msgdb-trim"
runuser -u "$user" -- sh -c "cd '$home/msgdb-trim' && cmake --workflow --preset default"

for preset in asan aarch64 armhf; do
  cmake --workflow --preset "$preset"
done
