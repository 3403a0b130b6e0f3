#!/usr/bin/env bash
# Benchmarks the release build of msgdb-trim on tmpfs in a private mount
# namespace, whole-process, with hyperfine, and writes bench/RESULTS.md:
#   - the idle check (nothing to trim) against `df -P` on the same folder,
#     and a run at 85 % with nothing to remove, for what settling costs;
#   - a trim of 100,000 one-page log databases (half of them journals, the
#     current index in the lower quarter) at 85 % used, against the floor
#     (bench/floor.c: list the folder, unlink exactly what the run removed)
#     and against the find | sort | head | xargs rm one-liner;
#   - the same trim at 10,000 files, for how the cost grows, and at
#     1,000,000 files against the floor with sizes (a quarter of the runs);
#   - peak resident memory of the 100,000- and 1,000,000-file trims, and the
#     sizes of the static release binaries for the host, aarch64 and armhf.
# Every timed trim re-creates its folder in hyperfine's --prepare step; the
# idle checks run on one folder, which they leave as it is.
# Needs: hyperfine, /usr/bin/time (package time), a C compiler, the cross
# compilers for aarch64 and armhf, and about 5 GiB of memory for the tmpfs of
# the million one-page files (4.58 GiB). Takes about half an hour.
# Usage: bench/run.sh [RUNS], at least 20 runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-20}

if [ -z "${MSGDB_BENCH_NAMESPACE:-}" ]; then
  cd "$root"
  for preset in release release-aarch64 release-armhf; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target msgdb-trim >/dev/null
  done
  mkdir -p build/bench
  cc -O2 -Wall -Wextra -o build/bench/fill bench/fill.c
  cc -O2 -Wall -Wextra -o build/bench/floor bench/floor.c
  if [ "$(id -u)" -eq 0 ]; then
    namespace=(unshare --mount --propagation private)
  else
    namespace=(unshare --map-root-user --mount --propagation private)
  fi
  exec "${namespace[@]}" env MSGDB_BENCH_NAMESPACE=1 "$0" "$runs"
fi

tool=$root/build/release/msgdb-trim
fill=$root/build/bench/fill
floor=$root/build/bench/floor
work=$(mktemp -d /tmp/msgdb-bench.XXXXXX)
folder=$work/data
mkdir "$folder"
trap 'umount "$folder" 2>/dev/null; rm -rf "$work"' EXIT

# A fresh tmpfs of PAGES pages holding COUNT log files, 85 % used.
prepare() { # COUNT PAGES
  echo "sh -c 'umount $folder 2>/dev/null; mount -t tmpfs -o nr_blocks=$2 bench $folder && $fill $folder $1 85'"
}
# Median seconds of hyperfine's export for command number N (1-based).
median() { awk -F, -v n="$2" 'NR == n + 1 { print $4 }' "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g ? "met" : "MISSED") }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f ms", s * 1000 }'; }

# What a trim of COUNT files removes: the floor removes the same, and the
# one-liner removes as many.
calibrate() { # COUNT PAGES -> $work/removed-COUNT
  eval "$(prepare "$1" "$2")"
  names() { find "$folder" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort; }
  names >"$work/before"
  "$tool" "$folder" >/dev/null
  names | comm -23 "$work/before" - >"$work/removed-$1"
}

trim_bench() { # COUNT PAGES
  calibrate "$1" "$2"
  local k
  k=$(wc -l <"$work/removed-$1")
  if [ "$1" -ge 1000000 ]; then
    hyperfine --shell=none --runs "$(((runs + 3) / 4))" --prepare "$(prepare "$1" "$2")" \
      --export-csv "$work/trim-$1.csv" -n "msgdb-trim" "$tool $folder" \
      -n "floor with sizes" "$floor --stat $folder $work/removed-$1" >&2
    echo "$k"
    return
  fi
  local oneliner="find $folder -maxdepth 1 -regextype posix-extended \
-regex '.*/[0-9a-fA-F]{8}[.]movra[.]msg[.]db(-journal)?' | LC_ALL=C sort | head -n $k | xargs rm --"
  hyperfine --shell=none --runs "$runs" --warmup 1 --prepare "$(prepare "$1" "$2")" \
    --export-csv "$work/trim-$1.csv" \
    -n "msgdb-trim" "$tool $folder" \
    -n "floor" "$floor $folder $work/removed-$1" \
    -n "one-liner" "sh -c \"$oneliner\"" \
    -n "floor with sizes" "$floor --stat $folder $work/removed-$1" >&2
  echo "$k"
}

# Idle: 1,000 log files at 50 %, nothing to trim; the folder is left as is.
sh -c "umount $folder 2>/dev/null; mount -t tmpfs -o nr_blocks=4000 bench $folder && $fill $folder 1000 50"
hyperfine --shell=none --runs $((runs * 20)) --warmup 20 --export-csv "$work/idle.csv" \
  -n "msgdb-trim (idle)" "$tool $folder" -n "df -P" "df -P $folder" >&2

# Settling: at 85 % with no log file, a run lets the counts settle once and
# removes nothing; the folder is left as is.
sh -c "umount $folder 2>/dev/null; mount -t tmpfs -o nr_blocks=4000 bench $folder && $fill $folder 0 85"
hyperfine --shell=none --runs "$runs" --warmup 2 --export-csv "$work/settle.csv" \
  -n "msgdb-trim (settling: nothing to remove)" "$tool $folder" >&2

removed_100k=$(trim_bench 100000 120000)
removed_10k=$(trim_bench 10000 12000)
removed_1m=$(trim_bench 1000000 1200000)

# Peak resident memory of a trim of COUNT files, in MiB.
peak() { # COUNT PAGES
  eval "$(prepare "$1" "$2")"
  { /usr/bin/time -f %M "$tool" "$folder" >/dev/null; } 2>&1 |
    awk '{ printf "%.1f", $1 / 1024 }'
}
peak_100k=$(peak 100000 120000)
peak_1m=$(peak 1000000 1200000)

idle=$(median "$work/idle.csv" 1); df=$(median "$work/idle.csv" 2)
# A trim settles the counts twice: before it decides, and once it is done.
settle=$(awk -v a="$(median "$work/settle.csv" 1)" -v b="$idle" 'BEGIN { print a - b }')
work100=$(awk -v a="$(median "$work/trim-100000.csv" 1)" -v s="$settle" 'BEGIN { print a - 2 * s }')
t100=$(median "$work/trim-100000.csv" 1); f100=$(median "$work/trim-100000.csv" 2)
s100=$(median "$work/trim-100000.csv" 3); z100=$(median "$work/trim-100000.csv" 4)
t10=$(median "$work/trim-10000.csv" 1); f10=$(median "$work/trim-10000.csv" 2)
s10=$(median "$work/trim-10000.csv" 3)
t1m=$(median "$work/trim-1000000.csv" 1); z1m=$(median "$work/trim-1000000.csv" 2)
size() { stat -c %s "$root/build/$1/msgdb-trim"; }

r_idle=$(ratio "$idle" "$df"); r_sizes=$(ratio "$work100" "$z100"); r_shell=$(ratio "$t100" "$s100")
r_grow=$(ratio "$t100" "$t10")
cat >"$root/bench/RESULTS.md" <<RESULTS
# Benchmark results

Written by \`bench/run.sh\` on $(date -u +%Y-%m-%d): $(lscpu | sed -n 's/^Model name: *//p' | head -n 1),
$(nproc) cores, Linux $(uname -r). Medians of $runs timed runs ($((runs * 20)) for the idle
check, $(((runs + 3) / 4)) for the million files), whole process, on tmpfs; every trim
starts from a freshly made folder.

| measure | msgdb-trim | compared with | ratio | goal | |
|---|---|---|---|---|---|
| idle check, nothing to trim | $(ms "$idle") | \`df -P\`: $(ms "$df") | $r_idle | ≤ 1.0 | $(verdict "$r_idle" 1.0) |
| settling the counts once, beyond the idle check | $(ms "$settle") | | | | |
| trim of 100,000 files ($removed_100k removed) | $(ms "$t100") | | | | |
| the same, less its two settlings | $(ms "$work100") | floor with sizes: $(ms "$z100") | $r_sizes | ≤ 1.15 | $(verdict "$r_sizes" 1.15) |
| trim of 100,000 files | $(ms "$t100") | one-liner: $(ms "$s100") | $r_shell | ≤ 0.5 | $(verdict "$r_shell" 0.5) |
| trim of 100,000 files | $(ms "$t100") | plain floor: $(ms "$f100") | $(ratio "$t100" "$f100") | | |
| trim of 10,000 files ($removed_10k removed) | $(ms "$t10") | floor: $(ms "$f10"), one-liner: $(ms "$s10") | | | |
| 100,000 files against 10,000 | | | $r_grow | ≤ 11 | $(verdict "$r_grow" 11) |
| trim of 1,000,000 files ($removed_1m removed) | $(ms "$t1m") | floor with sizes: $(ms "$z1m") | $(ratio "$t1m" "$z1m") | | |
| peak resident memory, 100,000 files | $peak_100k MiB | | | ≤ 4 MiB | $(verdict "$peak_100k" 4) |
| peak resident memory, 1,000,000 files | $peak_1m MiB | | | ≤ 20 MiB | $(verdict "$peak_1m" 20) |

Stripped, statically linked binaries (the release presets): host (x86-64)
$(size release) bytes, aarch64 $(size release-aarch64) bytes, armhf $(size release-armhf) bytes.

- Settling: a run at 80 % or more writes back the file system's data and
  measures again, 20 ms later and then every 20 ms while the used bytes
  fall (never on tmpfs); a trim does so before it decides and once it is
  done. Measured on a folder at 85 % with nothing to remove, less the idle
  check; the floor does neither.
- The floor (\`bench/floor.c\`) lists the folder and unlinks exactly the files
  that msgdb-trim removed, and nothing else: no matching, sorting or sizes.
  The floor with sizes also queries each file's status before unlinking it,
  as msgdb-trim must to count the bytes it frees; against the plain floor,
  that query alone adds $(awk -v a="$z100" -v b="$f100" 'BEGIN { printf "%.0f", (a / b - 1) * 100 }') % to the time.
- The one-liner is what a maintainer might otherwise put in cron:
  \`find DIR -maxdepth 1 -regextype posix-extended -regex '.*/[0-9a-fA-F]{8}[.]movra[.]msg[.]db(-journal)?' | LC_ALL=C sort | head -n K | xargs rm --\`,
  with K the number of files msgdb-trim removed. It removes as many files, but
  the wrong ones: the lowest names first, the newest databases below the
  current index, where msgdb-trim removes those above it, the oldest.
- The folder: one-page databases and journals numbered from 1, the index file
  naming an index at one eighth of the count (in the lower quarter), and a
  file that is not a log, filling the tmpfs to 85 %.
- Where msgdb-trim's time goes beyond the floor with sizes: each name is
  matched against the one fixed pattern by hand, in one pass that also
  decodes its index, and kept as 16 bytes (its eight digits, the index,
  whether it is a journal), which are sorted in place; a name is written out
  again only to remove it. Files are removed relative to the folder, which
  the run opens once, at its start, so no path is looked up twice.
- Memory: beyond what every run holds, a trim holds 16 bytes a listed name,
  in one list that doubles as it grows.
RESULTS
cat "$root/bench/RESULTS.md"
