# shellcheck shell=sh
# Helpers for the scenarios of end_to_end_test.cpp, sourced in the folder
# under test, a tmpfs of 1000 pages of 4096 bytes, before a row's setup. BIN
# is the command and EMU what runs it (an emulator, or nothing). A row may set
# RUN, a wrapper to run the command with, and AFTER, a command that runs once
# it has ended; the harness runs both.
# shellcheck disable=SC2034  # RUN, AFTER and NOBODY are for the rows and the harness

F=$(pwd -P)
RUN=
AFTER=:
TRACE=$BIN.trace
rm -f "$TRACE"
# Runs a command as the account nobody.
NOBODY='setpriv --reuid=65534 --regid=65534 --clear-groups'
# The leak checker can't work under a tracer.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"

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
fail() { RUN="strace -qq -o /dev/null -P $1 -e inject=$2:error=EIO:when=$3"; }

# stop PATH CALLS: the command, run with $STOP, stops once it has made the first of CALLS on PATH.
# A relative PATH matches the name as the command passes it to the calls made inside its folder.
stop() { STOP="strace -qq -o $TRACE -P $1 -e trace=$2 -e inject=$2:signal=SIGSTOP:when=1"; }
stop "$F" getdents64 # by default, once it has listed the folder

# await CMD: waits, at most 10 seconds, until CMD succeeds.
await() { for _ in $(seq 1000); do if eval "$1"; then return; fi; sleep 0.01; done; }

# stopped: waits until the command has stopped.
stopped() { await "grep -qs 'stopped by' '$TRACE'"; }

# resume: lets the stopped command go on.
resume() { pkill -CONT -f "$BIN"; }

# when_stopped CMD: the command stops, CMD runs, then the command goes on.
when_stopped() {
  RUN=$STOP
  { stopped; eval "$1"; resume; } &
}

# paused CMD: as when_stopped, and says "the lock is free" if the command does not hold it then.
paused() { when_stopped "flock -n .msgdb-trim.lock true && echo the lock is free; $1"; }

# noproc: hides /proc from the stopped command, which `unshare -m` started.
noproc() {
  for p in $(pgrep -f "$BIN"); do
    [ "$(readlink "/proc/$p/ns/mnt")" = "$(readlink /proc/$$/ns/mnt)" ] ||
      nsenter -m"/proc/$p/ns/mnt" mount -t tmpfs x /proc
  done
}

# hold_lock: in place of what is under the lock file's name, a lock file of
# this account's, held for a second, as by another run that meanwhile frees
# ten pages of notes.txt.
hold_lock() {
  rm -f .msgdb-trim.lock
  (umask 077 && exec 9>>.msgdb-trim.lock && flock 9 && : >held && sleep 1 &&
    truncate -s -40960 notes.txt) &
  await '[ -e held ]'
}
