#!/usr/bin/env bash
# Two JVMs and a native process hammering one table at once: appends, insertions at random
# lines, reads. Afterwards every line must be well-formed and every record there exactly once.
# Then a native process holds the table's write lock while a JVM tries to use it.
# With --priority, only this (no JVM): three reader processes count a 5.7 MB table back to
# back while a writer process appends 20 times; waiting writers go first, so no append may
# time out. The slowest append is printed, not checked.
# Usage: processes.sh DBTOOL JVM-COMMAND...   (jvm.sh JAVA -cp ...)
#        processes.sh --priority DBTOOL
set -u
priority=0
if [ "$1" = --priority ]; then priority=1; shift; fi
dbtool=$1
shift
dir=$(mktemp -d /tmp/dbiface-procs-XXXXXX)
trap 'rm -rf "$dir"' EXIT

if [ $priority = 1 ]; then
  t=$dir/p.txt
  { printf 'NAME|SCORE|DATE\n'; seq 1 300000 | sed 's/.*/row&|&|p/'; } > "$t"
  readers=()
  for r in 1 2 3; do
    "$dbtool" readloop "$t" "$dir/stop" >"$dir/r$r" & readers+=($!)
  done
  for _ in $(seq 100); do
    [ "$(cat "$dir"/r1 "$dir"/r2 "$dir"/r3 | grep -c reading)" = 3 ] && break
    sleep 0.1
  done
  rc=0
  "$dbtool" timedwrites "$t" 20 30 || { echo "FAIL: appends behind the readers failed"; rc=1; }
  touch "$dir/stop"
  for r in 1 2 3; do
    wait "${readers[$((r - 1))]}" || { echo "FAIL: reader $r"; rc=1; }
    echo "reader $r: $(grep reads "$dir/r$r")"
  done
  [ $rc = 1 ] || [ "$("$dbtool" count "$t")" = 300020 ] || { echo "FAIL: the table lacks appends"; rc=1; }
  exit $rc
fi
t=$dir/t.txt
# 5000 rows: over 64 KiB from the start.
{ printf 'NAME|SCORE|DATE\n'; seq 1 5000 | sed 's/.*/base&|&|b/'; } > "$t"

"$@" gameserver.reliability.Stress hammer "$t" jA 1000 1 & a=$!
"$@" gameserver.reliability.Stress hammer "$t" jB 1000 2 & b=$!
# The native writer keeps going in batches of 100 while either JVM runs.
tags=()
batches=0
while kill -0 "$a" 2>/dev/null || kill -0 "$b" 2>/dev/null; do
  "$dbtool" hammer "$t" "n${batches}x" 100 "$batches" || { echo "FAIL: native writer"; exit 1; }
  tags+=("n${batches}x:100")
  batches=$((batches + 1))
done
rc=0
wait "$a" || { echo "FAIL: JVM A"; rc=1; }
wait "$b" || { echo "FAIL: JVM B"; rc=1; }
echo "native writer: $batches batches of 100 writes while the JVMs ran"
[ "$batches" -ge 2 ] || { echo "FAIL: the native writer did not overlap the JVMs"; rc=1; }
"$dbtool" check "$t" 5000 jA:1000 jB:1000 "${tags[@]}" || rc=1

# A writer of another process that holds the lock past the 5 s timeout: the JVM's calls
# give up with UncheckedIOException, and work again once the holder is gone.
fifo=$dir/held
mkfifo "$fifo"
"$dbtool" hold "$t" 17 >"$fifo" & h=$!
read -r line <"$fifo"
[ "$line" = held ] || { echo "FAIL: holder did not take the lock"; rc=1; }
"$@" gameserver.reliability.Stress busy "$t" || rc=1
wait "$h"
exit $rc
