#!/usr/bin/env bash
# Runs one JVM with -Xcheck:jni and fails when it fails or prints any WARNING line (the
# JNI checker's complaints). Output is kept in a file so the library's trace lines do not
# flood the test log. Usage: jvm.sh JAVA ARGS...
set -u
java=$1
shift
log=$(mktemp /tmp/dbiface-jvm-XXXXXX.log)
"$java" -Xcheck:jni -XX:-UsePerfData "$@" >"$log" 2>&1
rc=$?
grep -v -E '^$|^(DBHelper constructor|calling getnumrows in dbiface|returning |before |storerest: |seeking to position |datarow\[i\] is |pos to write rest of file is )' "$log" | tail -n 40
if grep -q 'WARNING' "$log"; then
  echo "FAIL: the JVM printed warnings:"
  grep 'WARNING' "$log" | sort | uniq -c | head
  rc=1
fi
rm -f "$log"
exit $rc
