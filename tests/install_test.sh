#!/usr/bin/env bash
# The installed tree, as a package lays it out under /usr: every file in its
# place, the command stripped only with --strip, a manual page that renders
# without a warning, and systemd units that verify cleanly, bound a run's
# time and keep an instance's exposure at 1.5 or less.
# Usage: install_test.sh BUILD_DIR. Exits 77 (skipped) without systemd-analyze
# or man, or where systemd-analyze can't run.
set -euo pipefail
build=$1
fail() { echo "FAIL: $*"; exit 1; }
for tool in systemd-analyze man; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
units=$root/usr/lib/systemd/system
# The command, the manual page and the units are checked below by using them.
for file in README.md copyright changelog.gz; do
  [ -f "$root/usr/share/doc/msgdb-trim/$file" ] || fail "$file is not installed"
done
service=$units/msgdb-trim@.service
grep -qx 'ExecStart=/usr/sbin/msgdb-trim %f' "$service" || fail "the service runs another command"
grep -qx 'TimeoutStartSec=15min' "$service" || fail "the service has no start timeout of 15 minutes"
# The command as built, with its symbols, stripped only on request; nothing
# that only the package needs.
readelf -S "$root/usr/sbin/msgdb-trim" | grep -q symtab || fail "stripped unasked"
DESTDIR=$root/stripped cmake --install "$build" --prefix /usr --strip >/dev/null
! readelf -S "$root/stripped/usr/sbin/msgdb-trim" | grep -q symtab || fail "--strip left the symbols"
rm -r "$root/stripped"
[ ! -e "$root/usr/share/lintian" ] || fail "lintian's overrides are installed"

warnings=$(man --warnings -l "$root/usr/share/man/man8/msgdb-trim.8.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page renders with warnings:"$'\n'"$warnings"

# The units are checked inside the installed tree, beside the machine's own
# units that they refer to (sysinit.target, timers.target, ...). The checker
# needs /run/systemd, which a system where systemd never ran lacks (a
# container started without it), and only root may make.
[ -d /run/systemd ] || [ -w /run ] || { echo "SKIP: no /run/systemd for systemd-analyze"; exit 77; }
cp -an /usr/lib/systemd/system/. "$units/"
export MANPATH=$root/usr/share/man  # Documentation= must name a page that exists
cd "$root"
out=$(systemd-analyze verify --root="$root" msgdb-trim@mnt-data.service msgdb-trim@mnt-data.timer 2>&1)
[ -z "$out" ] || fail "systemd-analyze verify:"$'\n'"$out"
systemd-analyze security --offline=true --root="$root" --threshold=15 msgdb-trim@mnt-data.service |
  tail -n 1
