#!/usr/bin/env bash
# Runs the JVM cases (tests/java) on an aarch64 JVM under qemu-user against the library
# cross-built by tools/aarch64-build.sh, then the one jar of tools/package.sh with
# `java -jar`, so its linux-aarch64 copy is the one extracted and loaded.
#
#   tools/aarch64-jvm.sh AARCH64_BUILD HOST_BUILD [JAR]
#
# The JVM is Debian's openjdk-17-jre-headless for arm64, unpacked (not installed) into
# AARCH64_BUILD/jre; fetching it needs the arm64 architecture in apt's lists
# (dpkg --add-architecture arm64 && apt-get update; .ci/run does this). Without them the
# run is skipped (exit 77), except in CI, where it fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
host=$(cd "$2" && pwd)
jar=${3:+$(readlink -f "$3")}
sysroot=/usr/aarch64-linux-gnu
jre=$build/jre
jhome=$jre/usr/lib/jvm/java-17-openjdk-arm64

if [ ! -x "$jhome/bin/java" ]; then
  policy=$(apt-cache policy openjdk-17-jre-headless:arm64 2>/dev/null || true)
  if ! grep -q 'Candidate: [0-9]' <<< "$policy"; then
    echo "SKIP: no arm64 openjdk-17-jre-headless in apt's lists (dpkg --add-architecture arm64 && apt-get update)"
    [ "${CI:-}" = true ] && exit 1
    exit 77
  fi
  rm -rf "$jre" && mkdir -p "$jre/debs"
  (cd "$jre/debs" && apt-get download -qq openjdk-17-jre-headless:arm64 zlib1g:arm64 2>&1 | grep -v unsandboxed || true)
  for deb in "$jre"/debs/*.deb; do dpkg-deb -x "$deb" "$jre"; done
fi
# C1 only and the serial collector: a JVM starts about a quarter faster under emulation.
java=$build/java-aarch64
cat > "$java" <<SH
#!/bin/sh
QEMU_LD_PREFIX=$sysroot LD_LIBRARY_PATH=$jre/lib/aarch64-linux-gnu \\
  exec qemu-aarch64 "$jhome/bin/java" -XX:TieredStopAtLevel=1 -XX:+UseSerialGC "\$@"
SH
chmod +x "$java"
"$java" -version 2>&1 | head -n 2

version=$(sed -n 's/^Implementation-Version: //p' "$build/MANIFEST.MF")
echo "== JVM cases on linux-aarch64 (qemu-user) =="
# The JUnit launcher runs on the host JVM; every case's child JVM is the arm64 one.
# AARCH64_JVM_STRIDE=N runs every Nth case only (the first, the N+1th, ...; tools/test.sh
# uses 3 to keep CI short), all of them when unset.
cp="$host/tests/gameserver-dbiface-tests.jar:$host/tests/gameserver-dbiface-test-support.jar:$build/gameserver-dbiface-$version.jar"
select=(--select-class gameserver.tests.CasesTest)
if [ -n "${AARCH64_JVM_STRIDE:-}" ]; then
  picked=$(seq -s, 0 "$AARCH64_JVM_STRIDE" 500)
  select=(--select-iteration "method:gameserver.tests.CasesTest#runs(gameserver.tests.CasesTest\$Case)[$picked]")
fi
LC_ALL=C.UTF-8 java -Xcheck:jni -Dtest.java="$java" -Dtest.classpath="$cp" -Dtest.libdir="$build/lib" \
  -jar /usr/share/java/junit-platform-console-standalone.jar --disable-banner --disable-ansi-colors \
  --fail-if-no-tests --details=summary --class-path "$cp" "${select[@]}" \
  --config junit.jupiter.execution.parallel.enabled=true \
  --config junit.jupiter.execution.parallel.config.strategy=fixed \
  --config junit.jupiter.execution.parallel.config.fixed.parallelism=2

[ -n "$jar" ] || exit 0
echo "== java -jar $(basename "$jar") on linux-aarch64 =="
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'NAME|SCORE|DATE\nann|10|1/1/2020\n' > "$work/t.txt"
(cd "$work" && "$java" -Xcheck:jni -jar "$jar" t.txt insert 1 'NAME=bob, SCORE=20, DATE=2/2/2020' >/dev/null)
out=$(cd "$work" && "$java" -Xcheck:jni -jar "$jar" t.txt list 2>&1)
echo "$out"
want=$'NAME=bob,SCORE=20,DATE=2/2/2020\nNAME=ann,SCORE=10,DATE=1/1/2020'
if [ "$(grep '^NAME=' <<< "$out")" != "$want" ] || grep -q WARNING <<< "$out"; then
  echo "FAIL java -jar on aarch64"; echo "0 passed, 1 failed"; exit 1
fi
echo "1 passed, 0 failed"
