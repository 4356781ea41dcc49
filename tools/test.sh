#!/usr/bin/env bash
# Runs the whole test suite:
#   1. ctest on a release build: unit tests, JVM tests (JDK 17, and JDK 25 when
#      installed), packaging, CLI and reliability harnesses (threads, processes, kill loop,
#      fault injection, hostile input);
#   2. the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. fuzzing for a bounded time, the threaded harness under ThreadSanitizer and fault
#      injection under ASan/UBSan (needs clang-14);
#   4. the Windows build with mingw-w64 and its tests under Wine.
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
