# shellcheck shell=sh
# Helpers for the scenarios of end_to_end_test.cpp, sourced in the folder
# under test, a tmpfs of 1000 pages of 4096 bytes, before a row's setup. BIN
# is the command and EMU what runs it (an emulator, or nothing). A row may set
# RUN, a wrapper to run the command with, AFTER, a command that runs once it
# has ended, and HELPER, a process to wait for before AFTER; the harness runs
# them. Lines the command writes to standard error are marked "<3>", as for
# the journal.
# shellcheck disable=SC2034  # RUN, AFTER, NOBODY, OWNER and AS_OWNER: for the rows and the harness

F=$(pwd -P)
TRACE=$BIN.trace
# Runs a command as the account nobody.
NOBODY='setpriv --reuid=65534 --regid=65534 --clear-groups'
# OWNER owns the folder in the rows about what its owner may not do, and AS_OWNER runs a command as
# that account: nobody where the tests run as the machine's root (ROOT), which alone can give the
# folder away; in a user namespace, its one account, root without capabilities, for which file
# permissions hold.
ROOT='' OWNER=0 AS_OWNER='setpriv --inh-caps=-all --bounding-set=-all'
if chown 65534 . 2>/dev/null; then
  chown 0 . && ROOT=1 OWNER=65534 AS_OWNER=$NOBODY
fi
JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr)
export JOURNAL_STREAM
# The leak checker can't work under a tracer.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"

# skip REASON: ends the setup, and the harness skips the row for REASON.
skip() { echo "SKIP: $1" && exit; }

# traced: skips the row unless strace can trace the command here.
traced() { strace -o /dev/null true 2>/dev/null || skip "needs strace, able to trace here"; }

# shared: lets any account make files in the folder, as in a folder several share; skips the row
# unless the tests can run commands as another account.
shared() { { [ -n "$ROOT" ] && chmod 1777 .; } || skip "needs root, to run commands as nobody"; }

# mk P N...: makes a log file of P pages for each index N, in hexadecimal; Nj makes its journal.
mk() {
  pages=$1
  shift
  for i in "$@"; do
    name=$(printf %08x.movra.msg.db "0x${i%j}")
    [ "$i" = "${i%j}" ] || name=$name-journal
    head -c $((pages * 4096)) /dev/zero >"$name"
  done
}

# fill [INDEX]: writes INDEX to msgdb.idx, if given, then grows notes.txt, not a log, to 85 % used.
fill() {
  [ -z "${1:-}" ] || echo "$1" >msgdb.idx
  # shellcheck disable=SC2046  # the three numbers, split
  set -- $(stat -f -c '%b %a %S' .)
  head -c $(((850 - $1 + $2) * $3)) /dev/zero >>notes.txt
}

# fail PATH CALL N: the command's Nth CALL on PATH fails with EIO.
fail() { traced && RUN="strace -qq -o /dev/null -P $1 -e inject=$2:error=EIO:when=$3"; }

# stop PATH CALLS: the command, run with $STOP, stops once it has made the first of CALLS on PATH.
# A relative PATH matches the name as the command passes it to the calls made inside its folder.
stop() {
  STOP="strace -q -o $TRACE -P $1 -e trace=$2 -e inject=$2:signal=SIGSTOP:when=1"
  AT="$2 on $1"
}
stop "$F" getdents64 # by default, once it has listed the folder

# await CMD: waits, at most 10 seconds, until CMD succeeds; fails if it never does.
await() { for _ in $(seq 1000); do if eval "$1"; then return; fi; sleep 0.01; done; false; }

# stopped: waits until the command has stopped; says so and fails if it ended first, or never stops.
stopped() {
  await "grep -qs -e 'stopped by' -e '^+++' '$TRACE'" && grep -qs 'stopped by' "$TRACE" && return
  echo "the command never stopped at $AT"
  false
}

# when_stopped CMD: the command stops, CMD runs, then the command goes on; the harness waits for it.
when_stopped() {
  traced
  RUN=$STOP
  { stopped && { eval "$1"; pkill -CONT -f "$BIN"; }; } &
  HELPER=$!
}

# paused CMD: as when_stopped, and says "the lock is free" if the command does not hold it then.
paused() {
  when_stopped "{ flock -n .msgdb-trim.lock true && echo the lock is free; } 2>/dev/null; $1"
}

# noproc: hides /proc from the stopped command, which `unshare -m` started.
noproc() {
  for p in $(pgrep -f "$BIN"); do
    [ "$(readlink "/proc/$p/ns/mnt")" = "$(readlink /proc/$$/ns/mnt)" ] ||
      nsenter -m"/proc/$p/ns/mnt" mount -t tmpfs x /proc
  done
}

# hold: holds the lock file for a second, as another run that meanwhile frees ten pages of
# notes.txt.
hold() {
  (exec 9>>.msgdb-trim.lock && flock 9 && : >held && sleep 1 && truncate -s -40960 notes.txt) &
  await '[ -e held ]'
}

# hold_lock: hold, on a lock file of this account's in place of what is under the lock file's name.
hold_lock() { rm -f .msgdb-trim.lock && (umask 077 && hold); }

# again: runs the command on the folder, as RUN says, before the harness runs it once more.
# shellcheck disable=SC2086  # RUN and EMU are words, or nothing
again() { $RUN $EMU "$BIN" "$F"; }

# image TYPE PACKAGE SIZE [OPTIONS]: mounts over the folder a new file system of TYPE and SIZE, made
# by PACKAGE's mkfs.TYPE, with OPTIONS; skips the row where it can't.
image() {
  { [ -n "$ROOT" ] && [ -w /dev/loop-control ]; } || skip "needs root and loop devices"
  command -v "mkfs.$1" >/dev/null || skip "needs mkfs.$1 (apt-get install $2)"
  { truncate -s "$3" "$BIN.$1" && mkfs."$1" "$BIN.$1" >/dev/null 2>&1 &&
    mount -o "loop${4:+,$4}" "$BIN.$1" . 2>/dev/null; } || skip "can't mount $1 here"
  cd "$F" || exit
}

# databases: fills the folder to 85 % or more with databases of 4 MiB, the index at the newest.
databases() {
  n=0
  # shellcheck disable=SC2046  # the two numbers, split
  until set -- $(stat -f -c '%b %a' .) && [ $((100 * ($1 - $2) / $1)) -ge 85 ]; do
    n=$((n + 1)) && head -c 4194304 /dev/zero >"$(printf %08x.movra.msg.db "$n")" && sync -f . ||
      return
  done
  echo "$n" >msgdb.idx
}

# trims_once: runs the command twice at once, then once more; says how many of them trimmed, and
# any line they wrote to standard error.
trims_once() {
  { again & again; wait; again; } >"$BIN.out"
  grep -c "Time to Trim" "$BIN.out"
  RUN=:
}
