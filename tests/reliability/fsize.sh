#!/usr/bin/env bash
# A JVM under `ulimit -f` (300 KiB) with a table 10 bytes short of it: writes past the limit
# must raise UncheckedIOException, leave the table as it was, and leave the JVM running.
# Usage: fsize.sh JVM-COMMAND...   (jvm.sh JAVA -cp ...)
set -eu
dir=$(mktemp -d /tmp/dbiface-fsize-XXXXXX)
trap 'rm -rf "$dir"' EXIT
ulimit -f 300
"$@" gameserver.reliability.Stress fsize "$dir/t.txt" $((300 * 1024))
