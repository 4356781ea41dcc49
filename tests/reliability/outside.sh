#!/usr/bin/env bash
# Programs that bypass the library. 1: `echo >> table` in a loop while the library appends
# and inserts: at most 1 in 1,000 of the outside lines may be lost (only those written
# within a commit's own microseconds), none of the library's. 2: `: > table` during
# insertions, 8 times: the file stays as the truncating program left it, never NUL-filled.
# Usage: outside.sh DBTOOL
set -u
dbtool=$1
dir=$(mktemp -d /tmp/dbiface-outside-XXXXXX)
trap 'rm -rf "$dir"' EXIT
t=$dir/t.txt
rc=0

# About 600 KB: every insertion moves a long tail through an undo record. The library
# writes at an application's pace (a write every millisecond or so), not back to back.
{ printf 'NAME|SCORE|DATE\n'; seq 1 30000 | sed 's/.*/base&|&|b/'; } > "$t"
"$dbtool" hammer "$t" lib 1500 3 1000 & w=$!
n=0
while kill -0 "$w" 2>/dev/null; do
  n=$((n + 1))
  echo "ext$n|$n|e" >> "$t"
done
wait "$w" || { echo "FAIL: library writer"; rc=1; }
kept=$(grep -E '^ext[0-9]+\|[0-9]+\|e$' "$t" | sort -u | wc -l)
lost=$((n - kept))
echo "outside appender: $n lines while the library wrote 1500 rows, $lost lost"
[ $((lost * 1000)) -le "$n" ] || { echo "FAIL: more than 1 in 1,000 outside lines lost"; rc=1; }
[ "$n" -ge 100 ] || { echo "FAIL: the appender hardly overlapped the library ($n lines)"; rc=1; }
# The library's own rows: each exactly once, every line well-formed (a lost outside line
# may leave a piece of itself, counted above).
grep -v '^e' "$t" > "$dir/lib.txt"
"$dbtool" check "$dir/lib.txt" 30000 lib:1500 || rc=1

# Truncation to 0 in the middle of a stream of insertions into a 1 MB table.
nul=0
for round in 1 2 3 4 5 6 7 8; do
  { printf 'NAME|SCORE|DATE\n'; seq 1 50000 | sed 's/.*/base&|&|b/'; } > "$t"
  ( for k in $(seq 1 60); do "$dbtool" insert "$t" 1 "NAME=r$k,SCORE=$k,DATE=i" 2>/dev/null; done ) & w=$!
  sleep "0.0$((round + 1))"
  : > "$t"
  wait "$w"
  size=$(stat -c %s "$t")
  if [ "$(tr -d '\000' < "$t" | wc -c)" != "$size" ]; then
    nul=$((nul + 1))
    echo "round $round: $size bytes with NUL bytes after the truncation"
  elif [ "$size" != 0 ]; then
    echo "FAIL: round $round: the truncated table holds $size bytes"
    rc=1
  fi
done
echo "outside truncation: 8 rounds, $nul NUL-filled files"
[ "$nul" = 0 ] || rc=1
exit $rc
