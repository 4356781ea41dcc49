#!/usr/bin/env bash
# Runs the JVM cases (tests/java) on a linux-PLATFORM JVM under qemu-user against the
# library cross-built by tools/linux-cross-build.sh, then the one jar of tools/package.sh
# with `java -jar`, so its linux-PLATFORM copy is the one extracted and loaded.
#
#   tools/linux-cross-jvm.sh PLATFORM BUILD HOST_BUILD [JAR]
#
# The JVM is Debian's openjdk-17-jre-headless for that architecture (arm64, armhf, ppc64el,
# s390x; Debian 12 has none for riscv64), unpacked (not installed) into BUILD/jre; fetching
# it needs the architecture in apt's lists (dpkg --add-architecture ARCH && apt-get update;
# tools/test.sh does this). Without them the run is skipped (exit 77), except in CI, where
# it fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
platform=$1
build=$(cd "$2" && pwd)
host=$(cd "$3" && pwd)
jar=${4:+$(readlink -f "$4")}
. "$root/tools/cross.sh"
cross_platform "$platform"
sysroot=/usr/$cross
jre=$build/jre
jhome=$jre/usr/lib/jvm/java-17-openjdk-$debarch

if [ ! -x "$jhome/bin/java" ]; then
  policy=$(apt-cache policy "openjdk-17-jre-headless:$debarch" 2>/dev/null || true)
  if ! grep -q 'Candidate: [0-9]' <<< "$policy"; then
    echo "SKIP: no $debarch openjdk-17-jre-headless in apt's lists (dpkg --add-architecture $debarch && apt-get update)"
    [ "${CI:-}" = true ] && exit 1
    exit 77
  fi
  rm -rf "$jre" && mkdir -p "$jre/debs"
  (cd "$jre/debs" && apt-get download -qq "openjdk-17-jre-headless:$debarch" "zlib1g:$debarch" 2>&1 | grep -v unsandboxed || true)
  for deb in "$jre"/debs/*.deb; do dpkg-deb -x "$deb" "$jre"; done
fi
# C1 only and the serial collector: a JVM starts about a quarter faster under emulation.
java=$build/java-$platform
cat > "$java" <<SH
#!/bin/sh
QEMU_LD_PREFIX=$sysroot LD_LIBRARY_PATH=$jre/lib/$cross \\
  exec $qemu "$jhome/bin/java" -XX:TieredStopAtLevel=1 -XX:+UseSerialGC "\$@"
SH
chmod +x "$java"
"$java" -version 2>&1 | head -n 2

version=$(sed -n 's/^Implementation-Version: //p' "$build/MANIFEST.MF")
echo "== JVM cases on linux-$platform (qemu-user) =="
# The JUnit launcher runs on the host JVM; every case's child JVM is the emulated one.
# CROSS_JVM_STRIDE=N runs every Nth case only (the first, the N+1th, ...; CROSS_JVM_FIRST=K
# starts at the Kth instead; tools/test.sh picks them to keep CI short), all when unset.
cp="$host/tests/gameserver-dbiface-tests.jar:$host/tests/gameserver-dbiface-test-support.jar:$build/gameserver-dbiface-$version.jar"
select=(--select-class gameserver.tests.CasesTest)
if [ -n "${CROSS_JVM_STRIDE:-}" ]; then
  picked=$(seq -s, "${CROSS_JVM_FIRST:-0}" "$CROSS_JVM_STRIDE" 500)
  select=(--select-iteration "method:gameserver.tests.CasesTest#runs(gameserver.tests.CasesTest\$Case)[$picked]")
fi
LC_ALL=C.UTF-8 java -Xcheck:jni -Dtest.java="$java" -Dtest.classpath="$cp" -Dtest.libdir="$build/lib" \
  -jar /usr/share/java/junit-platform-console-standalone.jar --disable-banner --disable-ansi-colors \
  --fail-if-no-tests --details=summary --class-path "$cp" "${select[@]}" \
  --config junit.jupiter.execution.parallel.enabled=true \
  --config junit.jupiter.execution.parallel.config.strategy=fixed \
  --config junit.jupiter.execution.parallel.config.fixed.parallelism=2

[ -n "$jar" ] || exit 0
echo "== java -jar $(basename "$jar") on linux-$platform =="
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'NAME|SCORE|DATE\nann|10|1/1/2020\n' > "$work/t.txt"
(cd "$work" && "$java" -Xcheck:jni -jar "$jar" t.txt insert 1 'NAME=bob, SCORE=20, DATE=2/2/2020' >/dev/null)
out=$(cd "$work" && "$java" -Xcheck:jni -jar "$jar" t.txt list 2>&1)
echo "$out"
want=$'NAME=bob,SCORE=20,DATE=2/2/2020\nNAME=ann,SCORE=10,DATE=1/1/2020'
if [ "$(grep '^NAME=' <<< "$out")" != "$want" ] || grep -q WARNING <<< "$out"; then
  echo "FAIL java -jar on $platform"; echo "0 passed, 1 failed"; exit 1
fi
echo "1 passed, 0 failed"
