#!/usr/bin/env bash
# The reliability checks that ctest does not run, for CI (a few minutes on 2 cores):
#   1. every fuzz target for FUZZ_SECONDS each (default 6),
#   2. the threaded harness under ThreadSanitizer,
#   3. the fault-injection harness under ASan and UBSan (its RLIMIT_FSIZE children run in
#      the release build, through ctest).
# Builds go to OUT (default build-reliability/ at the top of the repository).
# Usage: tests/reliability/ci.sh [OUT]
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-$top/build-reliability}
cxx=${CXX_SAN:-clang++-14}
mkdir -p "$out"
# The core is every source of dbhelper/ but its tests (file_windows.cc is empty here).
core=()
for src in "$top"/dbhelper/*.cc; do
  case $src in *_test.cc) ;; *) core+=("$src") ;; esac
done
rc=0
step() { printf '\n== %s\n' "$1"; }

step "fuzzing, ${FUZZ_SECONDS:-6} s per target"
"$top/fuzz/run.sh" "${FUZZ_SECONDS:-6}" "$out/fuzz" || rc=1

step "threads under ThreadSanitizer"
if "$cxx" -std=c++20 -O1 -g -Wall -Wextra -fsanitize=thread -I"$top" "${core[@]}" \
    "$top/tests/reliability/threads.cc" -lpthread -o "$out/threads_tsan"; then
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$out/threads_tsan" 8 150 || rc=1
else
  rc=1
fi

step "fault injection under AddressSanitizer and UndefinedBehaviorSanitizer"
if "$cxx" -std=c++20 -O1 -g -Wall -Wextra -fsanitize=address,undefined -fno-sanitize-recover=all \
    -fno-omit-frame-pointer -I"$top" "${core[@]}" "$top/tests/reliability/faults.cc" -lpthread \
    -o "$out/faults_asan"; then
  "$out/faults_asan" --no-fsize || rc=1
else
  rc=1
fi

step "result: $([ $rc -eq 0 ] && echo ok || echo FAILED)"
exit $rc
