#!/usr/bin/env bash
# endian.sh DBTOOL_A DBTOOL_B
# A table with a leftover undo record moves between two builds (tools/linux-cross-build.sh
# runs it with the host's dbtool and the big-endian s390x one under qemu): for each point
# where an insertion can be killed (dbtool killat), durable and not, both builds must leave
# the same bytes, and each build's next call must repair either's leftover into the same
# table, the old one or the new one. DBTOOL_B may be a command line ("qemu-s390x dbtool").
set -u
read -r -a tool_a <<< "$1"
read -r -a tool_b <<< "$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

fail() { failed=$((failed + 1)); echo "FAIL $*"; }

# A table whose tail past the insertion points spans pages: the write takes the undo path.
{
  echo 'NAME|SCORE|DATE'
  for i in $(seq 1 300); do echo "player$i|$((i * 37 % 1000))|$((i % 28 + 1))/$((i % 12 + 1))/2020"; done
} > "$work/old.txt"
text='NAME=newcomer, SCORE=999, DATE=12/31/2026'

for sync in off full; do
  for line in 2 150; do
    cp "$work/old.txt" "$work/new.txt"
    DBIFACE_SYNC=$sync "${tool_a[@]}" insert "$work/new.txt" "$line" "$text" || { fail "insert $sync $line"; continue; }
    records=0
    for steps in $(seq 0 40); do
      name="sync=$sync line=$line after $steps changes"
      rc=()
      for side in a b; do
        eval 'tool=("${tool_'$side'[@]}")'
        cp "$work/old.txt" "$work/$side.txt"
        DBIFACE_SYNC=$sync "${tool[@]}" killat "$work/$side.txt" "$steps" "$line" "$text" 2>"$work/err"
        rc+=($?)
      done
      problem=
      [ "${rc[0]}" = "${rc[1]}" ] || problem="killat exits ${rc[0]} and ${rc[1]}"
      case ${rc[0]} in 0|9) ;; *) problem="${problem:+$problem; }killat exit ${rc[0]}: $(cat "$work/err")" ;; esac
      cmp -s "$work/a.txt" "$work/b.txt" || problem="${problem:+$problem; }the builds left different bytes"
      left=finished
      if [ "${rc[0]}" = 9 ]; then
        left="killed, no record"
        [ "$(tail -c 64 "$work/a.txt" | head -c 8 | od -An -c | tr -d ' ')" = '\0DBIundo' ] &&
          left="killed, record left" records=$((records + 1))
      fi
      # Each build repairs each build's leftover (a read: what the next call does first).
      for from in a b; do
        for side in a b; do
          eval 'tool=("${tool_'$side'[@]}")'
          cp "$work/$from.txt" "$work/$from$side.txt"
          DBIFACE_SYNC=$sync "${tool[@]}" count "$work/$from$side.txt" > "$work/$from$side.count" ||
            problem="${problem:+$problem; }$side cannot read $from's leftover"
        done
      done
      for r in ab ba bb; do
        cmp -s "$work/aa.txt" "$work/$r.txt" && cmp -s "$work/aa.count" "$work/$r.count" ||
          problem="${problem:+$problem; }repair $r differs from aa"
      done
      if cmp -s "$work/aa.txt" "$work/old.txt"; then result=old
      elif cmp -s "$work/aa.txt" "$work/new.txt"; then result=new
      else result=other; problem="${problem:+$problem; }repaired into neither the old nor the new table"
      fi
      if [ -n "$problem" ]; then fail "$name: $problem"; else passed=$((passed + 1)); echo "ok   $name: $left, repaired to the $result table"; fi
      [ "${rc[0]}" = 0 ] && break
    done
    [ "${rc[0]}" = 0 ] || fail "sync=$sync line=$line: the insertion never finished"
    # Without a leftover record the trip tests nothing.
    [ "$records" -gt 0 ] || fail "sync=$sync line=$line: no kill left an undo record"
  done
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
