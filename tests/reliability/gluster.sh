#!/usr/bin/env bash
# Two hosts on one table, as a GlusterFS volume gives them: one single-brick volume with its
# default options, mounted twice with the FUSE client and its default mount options (two
# clients with caches of their own, as two hosts have). glusterd and the brick listen on
# 127.0.0.1 only. Phases, one writer process per mount (dbtool):
#   defaults     every call refused with the GlusterFS error (quick-read keeps contents
#                the other client's writes do not reach); then, let through with
#                DBIFACE_SINGLE_PROCESS=true, what quick-read costs: measured, not checked
#   quick-read off (the one option the library asks for), mount options still the defaults:
#     appends, insertions at random lines, mixed with a reader on the second mount; a write
#     through one mount then a read through the other; a kill loop of one host's writer
#     while the other writes. Each must end with 0 rows lost, doubled or torn, 0 NUL bytes,
#     0 stale reads.
# Everything is torn down at the end, also on failure.
# Usage: gluster.sh BUILD_DIR      (exits 77 where it cannot run: not root, no /dev/fuse)
set -uo pipefail
build=$1
dbtool=$build/tests/reliability/dbtool
N=${GLUSTER_ROWS:-400}    # writes per writer and phase
KILLS=${GLUSTER_KILLS:-20}

[ "$(id -u)" = 0 ] || { echo "SKIP gluster: needs root (glusterd, mount)"; exit 77; }
[ -c /dev/fuse ] || { echo "SKIP gluster: no /dev/fuse"; exit 77; }
[ -x /usr/sbin/glusterd ] && [ -x /sbin/mount.glusterfs ] || { echo "SKIP gluster: glusterfs-server and glusterfs-client not installed"; exit 77; }
[ -x "$dbtool" ] || { echo "FAIL: $dbtool not built"; exit 1; }
if (exec 3<>/dev/tcp/127.0.0.1/24007) 2>/dev/null; then
  echo "SKIP gluster: another glusterd listens on 127.0.0.1:24007"; exit 77
fi

host=dbiface-gluster   # the CLI refuses 127.0.0.1 itself as a brick's host
vol=dbiface-shared
dir=$(mktemp -d /var/tmp/dbiface-gluster.XXXXXX)   # the brick is on the root file system: "force"
m1=$dir/m1 m2=$dir/m2
mkdir -p "$dir/brick" "$dir/wd" "$m1" "$m2"
added_host=0
# ours: the processes whose command line names $dir (glusterd, the brick, the two clients).
ours() {
  local c
  for c in /proc/[0-9]*/cmdline; do
    cat "$c" 2>/dev/null | tr '\0' ' ' | grep -qF -- "$dir/" && c=${c#/proc/} && echo "${c%/cmdline}"
  done
}
teardown() {
  local p
  umount "$m1" 2>/dev/null || umount -l "$m1" 2>/dev/null
  umount "$m2" 2>/dev/null || umount -l "$m2" 2>/dev/null
  if [ -f "$dir/glusterd.pid" ]; then
    gluster --mode=script volume stop "$vol" force >/dev/null 2>&1
    gluster --mode=script volume delete "$vol" >/dev/null 2>&1
    kill "$(cat "$dir/glusterd.pid")" 2>/dev/null
  fi
  sleep 0.5
  for p in $(ours); do kill "$p" 2>/dev/null; done
  [ "$added_host" = 1 ] && sed -i "/ $host\$/d" /etc/hosts
  rm -rf "$dir"
}
trap teardown EXIT

getent hosts "$host" | grep -q '^127\.0\.0\.1' || { echo "127.0.0.1 $host" >> /etc/hosts; added_host=1; }
# glusterd with the stock configuration, bound to the loopback and with its state in $dir.
sed -e "s#/var/lib/glusterd#$dir/wd#" -e 's#^end-volume#    option transport.socket.bind-address 127.0.0.1\nend-volume#' \
  /etc/glusterfs/glusterd.vol > "$dir/glusterd.vol"
glusterd -f "$dir/glusterd.vol" -p "$dir/glusterd.pid" --log-file="$dir/glusterd.log" || { echo "FAIL: glusterd"; exit 1; }
for _ in $(seq 50); do gluster --mode=script pool list >/dev/null 2>&1 && break; sleep 0.2; done
gluster --mode=script volume create "$vol" "$host:$dir/brick" force >/dev/null &&
  gluster --mode=script volume start "$vol" >/dev/null || { echo "FAIL: volume"; tail -20 "$dir/glusterd.log"; exit 1; }
# Nothing of ours listens beyond the loopback.
for p in $(ours); do
  ss -ltnpH 2>/dev/null | grep "pid=$p," | awk '{print $4}' | grep -v '^127\.0\.0\.1:' &&
    { echo "FAIL: process $p listens beyond 127.0.0.1"; exit 1; }
done
mount -t glusterfs "$host:/$vol" "$m1" && mount -t glusterfs "$host:/$vol" "$m2" || { echo "FAIL: mount"; exit 1; }
echo "volume $vol: $(gluster --mode=script volume info "$vol" | grep -c '^Brick[0-9]') brick, options: $(gluster --mode=script volume info "$vol" | sed -n '/^Options Reconfigured:/,$p' | tail -n +2 | tr '\n' ' ')"
echo "mounts: $(grep " $m1 \| $m2 " /proc/mounts | awk '{print $3 " " $4}' | sort -u)"

rc=0
fail() { echo "FAIL: $*"; rc=1; }
# new NAME: a table with a header, created through mount 1 and seen through mount 2.
new() {
  local t=$m1/$1
  printf 'NAME|SCORE|DATE\n' > "$t"
  for _ in $(seq 50); do [ -s "$m2/$1" ] && break; sleep 0.1; done
}
nuls() { tr -cd '\0' < "$1" | wc -c; }
# table_ok NAME CHECK-ARGS...: dbtool check through mount 2 after a read through it (which
# rolls back a write a kill left), plus the NUL count; prints one line.
table_ok() {
  local name=$1 out
  shift
  "$dbtool" count "$m2/$name" >/dev/null
  out=$("$dbtool" check "$m2/$name" "$@" 2>&1)
  local ok=$?
  echo "  $name: ${out##*check: }, $(nuls "$m2/$name") NUL bytes"
  [ "$ok" = 0 ] && [ "$(nuls "$m2/$name")" = 0 ]
}
# across NAME N: N times, append through mount 1, then count and read the row through mount 2.
across() {
  local t=$1 n=$2 stale=0 i c
  new "$t"
  for i in $(seq "$n"); do
    "$dbtool" append "$m1/$t" "NAME=s$i,SCORE=$i,DATE=x" || { stale=$((stale + 1)); continue; }
    c=$("$dbtool" count "$m2/$t" 2>/dev/null)
    [ "$c" = "$i" ] && [ "$("$dbtool" get "$m2/$t" "$i" 2>/dev/null)" = "NAME=s$i,SCORE=$i,DATE=x" ] || stale=$((stale + 1))
  done
  echo "  write through one mount, read through the other: $stale of $n reads stale"
  [ "$stale" = 0 ]
}

echo "== defaults: the library refuses"
new refused.txt
out=$("$dbtool" append "$m1/refused.txt" "NAME=a,SCORE=1,DATE=x" 2>&1) && fail "a write went through with quick-read on"
echo "  $out" | cut -c1-240
grep -q "GlusterFS volume $host:/$vol.*performance.quick-read off" <<<"$out" || fail "the refusal does not name the volume and the option"
"$dbtool" count "$m2/refused.txt" >/dev/null 2>&1 && fail "a read went through with quick-read on"

echo "== defaults, let through (DBIFACE_SINGLE_PROCESS=true): measured, not checked"
new qr-mixed.txt
DBIFACE_SINGLE_PROCESS=true "$dbtool" loop "$m1/qr-mixed.txt" 1 m 0 "$N" 3>/dev/null &
DBIFACE_SINGLE_PROCESS=true "$dbtool" loop "$m2/qr-mixed.txt" 2 m 0 "$N" 3>/dev/null
wait
DBIFACE_SINGLE_PROCESS=true table_ok qr-mixed.txt 0 "k1x:$N" "k2x:$N"
DBIFACE_SINGLE_PROCESS=true across qr-across.txt 50

echo "== performance.quick-read off, mount options the defaults"
gluster --mode=script volume set "$vol" performance.quick-read off >/dev/null || fail "volume set"
for _ in $(seq 50); do [ -e "$m1/.meta/graphs/active/$vol-quick-read" ] || [ -e "$m2/.meta/graphs/active/$vol-quick-read" ] || break; sleep 0.2; done
for mode in a i; do
  new "$mode.txt"
  "$dbtool" loop "$m1/$mode.txt" 1 "$mode" 0 "$N" 3>/dev/null & w1=$!
  "$dbtool" loop "$m2/$mode.txt" 2 "$mode" 0 "$N" 3>/dev/null || fail "writer on mount 2 ($mode)"
  wait "$w1" || fail "writer on mount 1 ($mode)"
  echo "  2 x $N $([ $mode = a ] && echo appends || echo 'insertions at random lines')"
  table_ok "$mode.txt" 0 "k1x:$N" "k2x:$N" || fail "phase $mode"
done
# Mixed: appends, insertions and reads (each writer checks the rows it reads), 2 ms apart,
# so that the reader between them gets its turn; it counts and reads the last row.
new m.txt
"$dbtool" readloop "$m2/m.txt" "$dir/stop" rows > "$dir/reader" 2>&1 & reader=$!
"$dbtool" hammer "$m1/m.txt" A "$N" 1 2000 & w1=$!
"$dbtool" hammer "$m2/m.txt" B "$N" 2 2000 || fail "writer on mount 2 (mixed)"
wait "$w1" || fail "writer on mount 1 (mixed)"
touch "$dir/stop"
wait "$reader" || fail "the reader on mount 2: $(cat "$dir/reader")"
echo "  2 x $N mixed; reader on mount 2: $(grep reads "$dir/reader") (each a count and the last row), none fell or torn"
table_ok m.txt 0 "A:$N" "B:$N" || fail "phase mixed"
across across.txt 100 || fail "stale reads"

echo "== kill loop: mount 1's writer killed $KILLS times while mount 2's writes"
new kill.txt
"$dbtool" loop "$m2/kill.txt" 2 m 0 "$((N * 2))" 3>/dev/null & steady=$!
tags=("k2x:$((N * 2))")
victims=0
for k in $(seq "$KILLS"); do
  seed=$((100 + k))
  "$dbtool" loop "$m1/kill.txt" "$seed" m 0 100000 3>"$dir/done$k" & victim=$!
  sleep "0.$((RANDOM % 4 + 1))$((RANDOM % 10))"
  kill -9 "$victim" 2>/dev/null
  wait "$victim" 2>/dev/null
  tags+=("k${seed}x:$(wc -c < "$dir/done$k")")
  victims=$((victims + $(wc -c < "$dir/done$k")))
  kill -0 "$steady" 2>/dev/null || break
done
wait "$steady" || fail "mount 2's writer during the kill loop"
# A killed writer's operation in flight may have landed or not: it is the one untagged row
# each kill may leave.
"$dbtool" count "$m2/kill.txt" >/dev/null
out=$("$dbtool" check "$m2/kill.txt" 0 "${tags[@]}" 2>&1)
echo "  $((${#tags[@]} - 1)) killed writers had completed $victims writes; ${out##*check: }, $(nuls "$m2/kill.txt") NUL bytes"
read -r bad untagged lost doubled < <(sed -E 's/.*check: ([0-9]+) malformed, ([0-9]+) untagged.* ([0-9]+) records lost, ([0-9]+) doubled.*/\1 \2 \3 \4/' <<<"$out")
[ "${bad:-x}" = 0 ] && [ "${lost:-x}" = 0 ] && [ "${doubled:-x}" = 0 ] && [ "${untagged:-99}" -le "$KILLS" ] &&
  [ "$(nuls "$m2/kill.txt")" = 0 ] || fail "kill loop"

[ "$rc" = 0 ] && echo "gluster: every phase whole" || echo "gluster: FAILED"
exit $rc
