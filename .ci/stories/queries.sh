#!/usr/bin/env bash
# The README's journal queries, given as $1: the first line finds the
# missing folder's failure and the hung run's, the rest the one run that fell
# short (the package and hang stories made them).
set -euxo pipefail
failures=$(bash -c "$(head -n 1 <<<"$1")")
grep -q 'msgdb-trim\[[0-9]*\]: stat: No such file or directory$' <<<"$failures"
grep -q 'Failed to start msgdb-trim@srv-hang.service' <<<"$failures"
shortfalls=$(bash -c "$(tail -n +2 <<<"$1")")
grep -q 'srv-full.service.*Trimmed 4096 bytes$' <<<"$shortfalls"
test "$(wc -l <<<"$shortfalls")" = 1
