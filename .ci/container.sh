#!/usr/bin/env bash
# The README's routes in a fresh Debian 12 container that starts from minbase
# and busybox (for the cron story): its first commands, pasted as written, as
# root and as an ordinary user, and cpack after "Get a build"; then, with
# systemd installed as on a device and the container booted under it, the
# stories in stories/, in order, each run inside it with this checkout at
# /src. Needs build/default's package and the release build (packages.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

# The sh block under the README's heading $1 that holds $2; one that is
# missing fails.
readme_block() {
  local block
  block=$(sed -n "/^$1\$/,/^## /p" README.md |
    awk -v want="$2" '/^```sh$/ { inside = 1; text = ""; next }
                      /^```$/ { if (inside && index(text, want)) { printf "%s", text; exit }
                                inside = 0; next }
                      inside { text = text $0 "\n" }')
  [ -n "$block" ] || { echo "README: no block with '$2' under '$1'" >&2; return 1; }
  printf '%s\n' "$block"
}
first=$(readme_block '## First commands' 'git clone' | sed "s|<the project's repository>|/src|")
commands=$(readme_block '## First commands' 'cmake --workflow')
getbuild=$(readme_block '### Get a build' 'apt-get install')
archive=$(readme_block '### Get a build' 'cmake --install' | sed 's/release-aarch64/release/g')
unpack=$(readme_block '### Install it' 'tar -C /')
timer=$(readme_block '### Start the timer' 'enable --now')
cron=$(readme_block '### Without systemd' 'logger')
queries=$(readme_block '## When something looks wrong' 'journalctl -p err')

container=$(mktemp -d)
booting=
trap '[ -z "$booting" ] || kill "$booting"; rm -rf "$container"' EXIT
mmdebstrap --variant=minbase --include=busybox bookworm "$container/debian"
nspawn=(env SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn --quiet --register=no --keep-unit
  --directory="$container/debian" --bind-ro="$PWD:/src")
# As root, whose inheritable capabilities such a container raises, then the
# packages that "Get a build" installs and the package they let cpack make;
# and as an ordinary user.
"${nspawn[@]}" --console=pipe bash -euxc "cd /root
  $first
  $commands
  $getbuild
  cpack --preset default
  useradd --create-home newcomer
  chmod 700 /home/newcomer
  git clone -q /src /home/newcomer/msgdb-trim
  chown -R newcomer: /home/newcomer/msgdb-trim"
"${nspawn[@]}" --console=pipe --user=newcomer bash -euxc "cd ~/msgdb-trim
  $commands"

# The device: Debian with systemd, which boots the container below.
"${nspawn[@]}" --console=pipe apt-get install -y systemd

# The README's archive, as written but with the host's release preset for the
# ARM one.
bash -euxc "$archive"
cp msgdb-trim.tar.gz "$container/debian/root/"

"${nspawn[@]}" --boot --console=passive &
booting=$!
until leader=$(pgrep -P "$booting"); do
  kill -0 "$booting"
  sleep 1
done
booted() { nsenter --target "$leader" --all "$@"; }
booted systemctl is-system-running --wait || true
story() {
  echo "::: story $1"
  booted bash "/src/.ci/stories/$1.sh" "${@:2}"
}
story package
story hang
story queries "$queries"
story cron "${cron#"* * * * * "}"
story purge
story archive "$unpack" "$timer"
booted systemctl poweroff
wait "$booting"
booting=
