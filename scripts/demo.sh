#!/usr/bin/env bash
# Builds msgdb-trim and runs it once on a throwaway 4 MiB tmpfs, filled to
# about 85 % with log databases, two journals, an index file and a file that
# is not a log, then shows what went and what stayed. The file system lives in
# a private mount namespace and vanishes with it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default --target msgdb-trim >/dev/null
tool=$root/build/default/msgdb-trim

# Root makes a private mount namespace directly; an ordinary user first
# becomes root of a user namespace of its own.
namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --map-root-user --mount --propagation private)
if ! why=$("${namespace[@]}" true 2>&1); then
  echo "demo.sh: can't make a private mount namespace to hold the demo's file system:" >&2
  echo "  $why" >&2
  knob() { [ -r "/proc/sys/$1" ] && [ "$(cat "/proc/sys/$1")" = "$2" ]; }
  if [[ $why == *propagation* ]]; then
    echo "/ is not a mount point here (a chroot, or a container set up that way), so mounts" \
      "can't be kept private. Run the demo where / is a mount point." >&2
  elif [ "$(id -u)" -eq 0 ]; then
    echo "Even root may not make mount namespaces here (a restricted container?)." >&2
  elif knob kernel/unprivileged_userns_clone 0; then
    echo "This kernel keeps user namespaces from ordinary users. Run it as root" \
      "(sudo $0), or allow them: sysctl -w kernel.unprivileged_userns_clone=1" >&2
  elif knob user/max_user_namespaces 0; then
    echo "User namespaces are switched off. Run it as root (sudo $0), or allow them:" \
      "sysctl -w user.max_user_namespaces=10000" >&2
  elif knob kernel/apparmor_restrict_unprivileged_userns 1; then
    echo "AppArmor keeps user namespaces from ordinary users. Run it as root (sudo $0)," \
      "or allow them: sysctl -w kernel.apparmor_restrict_unprivileged_userns=0" >&2
  else
    echo "Run it as root (sudo $0)." >&2
  fi
  exit 1
fi

exec "${namespace[@]}" bash -s "$tool" <<'DEMO'
set -euo pipefail
tool=$1
folder=$(mktemp -d /tmp/msgdb-demo.XXXXXX)
trap 'umount "$folder" 2>/dev/null; rmdir "$folder"' EXIT
mount -t tmpfs -o size=4m demo-tmpfs "$folder"

kib() { head -c "$(($2 * 1024))" /dev/zero >"$folder/$1"; }
for i in 1 2 3 4 5 6 7 8 9; do kib "0000000$i.movra.msg.db" 320; done
kib 00000005.movra.msg.db-journal 32
kib 00000008.movra.msg.db-journal 32
echo 5 >"$folder/msgdb.idx"
kib notes.txt 532

before=$(ls "$folder")
echo "== $folder before the run (index file says 5) =="
ls -l "$folder" | tail -n +2
echo
echo "== msgdb-trim $folder =="
"$tool" "$folder"
echo
echo "== went =="
comm -23 <(echo "$before") <(ls "$folder")
echo
echo "== stayed =="
ls "$folder"
echo
echo "The databases numbered above the current index 5 are the first to go, lowest first:"
echo "the writer counts upwards and wraps from ffffffff to 00000000, so a database"
echo "numbered above the one being written is left over from before the wrap, older"
echo "than every database below it. Those below 5 go only when more must go, and"
echo "00000005 and its journal, being written now, are never touched."
DEMO
