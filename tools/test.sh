#!/usr/bin/env bash
# Runs the whole test suite:
#   1. ctest on a release build: unit tests, JVM tests (JDK 17, and JDK 25 when
#      installed), packaging, CLI and reliability harnesses (threads, processes, kill loop,
#      fault injection, hostile input);
#   2. the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. fuzzing for a bounded time, the threaded harness under ThreadSanitizer and fault
#      injection under ASan/UBSan (needs clang-14);
#   4. the Windows build with mingw-w64 and its tests under Wine;
#   5. the linux-aarch64 build, its tests and the JVM cases under qemu-user, and the one
#      jar for all platforms (tools/package.sh) with its loader and Maven consumer checks.
# --fast runs steps 1 and 2 only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
fast=0
[ "${1:-}" = "--fast" ] && fast=1

echo "== build and ctest (release) =="
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j"$jobs"
(cd "$root/build" && ctest --output-on-failure -j"$jobs")

echo "== unit tests under ASan + UBSan =="
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DDBIFACE_SANITIZE=ON -DDBIFACE_JAVA=OFF >/dev/null
cmake --build "$root/build-asan" -j"$jobs" --target dbhelper_tests
"$root/build-asan/dbhelper_tests" --gtest_brief=1

[ "$fast" = 1 ] && exit 0

echo "== fuzzing, ThreadSanitizer, fault injection under sanitizers =="
"$root/tests/reliability/ci.sh" "$root/build-reliability"

echo "== Windows build and tests under Wine =="
"$root/tools/windows-build.sh" "$root/build-windows"

echo "== linux-aarch64: cross-build, unit tests and smoke program under qemu-user =="
"$root/tools/aarch64-build.sh" "$root/build-package/linux-aarch64"

echo "== one jar for every platform: package, loader choices, Maven consumer =="
"$root/tools/package.sh" "$root/build-package"
version=$(sed -n 's/^Implementation-Version: //p' "$root/build/MANIFEST.MF")
dist_jar="$root/build-package/dist/gameserver-dbiface-$version.jar"
for java in "$(command -v java)" /usr/lib/jvm/temurin-25-jdk-amd64/bin/java; do
  [ -x "$java" ] || { echo "SKIP: $java is not installed"; continue; }
  "$root/tests/packaging/loader.sh" "$java" "$dist_jar" "$root/build/tests/packaging/stale-lib"
done
"$root/tests/packaging/maven-consumer.sh" "$root/build-package/repo"

echo "== linux-aarch64: JVM cases and java -jar on an arm64 JVM under qemu-user =="
"$root/tools/aarch64-jvm.sh" "$root/build-package/linux-aarch64" "$root/build" "$dist_jar"
