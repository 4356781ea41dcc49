#!/usr/bin/env bash
# Runs the whole test suite, stage by stage:
#   build        release build (library, jar, tests)
#   unit         ctest -L unit: the core's unit tests
#   jvm          ctest -L jvm: the JVM cases under JUnit 5 (JDK 17, and JDK 25 when installed)
#   packaging    ctest -L packaging: loading the bundled library, the command-line tool
#   reliability  ctest -L reliability: threads, processes, kill loop, fault injection,
#                hostile input
#   asan         the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer
#   sanitizers   fuzzing for a bounded time, threads under ThreadSanitizer, fault injection
#                under ASan/UBSan (clang-14)
#   windows      the Windows build with mingw-w64 and its tests under Wine
# --fast stops after asan. As root on Debian, the packages of tools/packages.txt that are
# missing are installed first; otherwise a stage that lacks one is skipped and named.
# The last line counts stages: "N passed, M failed, K skipped"; the exit status is 0 when
# none failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
fast=0
[ "${1:-}" = "--fast" ] && fast=1

# ---- packages ---------------------------------------------------------------------------
present() {
  case "$1" in
    /*) compgen -G "$1" >/dev/null ;;
    *) command -v "$1" >/dev/null ;;
  esac
}
# missing STAGE: the packages STAGE (and build) lacks, one per line, each once.
missing() {
  grep -v -E '^\s*(#|$)' "$root/tools/packages.txt" | while read -r stage pkg check; do
    if { [ "$stage" = "$1" ] || [ "$stage" = build ]; } && ! present "$check"; then
      echo "$pkg"
    fi
  done | awk '!seen[$0]++'
}
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  want=$(grep -v -E '^\s*(#|$)' "$root/tools/packages.txt" | while read -r _ pkg check; do
    present "$check" || echo "$pkg"
  done | sort -u | tr '\n' ' ')
  if [ -n "$want" ]; then
    echo "== installing $want=="
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $want >/dev/null \
      || echo "apt-get install failed; stages that still lack a package are skipped"
  fi
fi

# ---- stages -----------------------------------------------------------------------------
passed=0 failed=0 skipped=0
failures=()
stage() {
  local name=$1
  shift
  local lack
  lack=$(missing "$name" | tr '\n' ' ')
  if [ -n "$lack" ]; then
    echo "SKIP $name: needs ${lack% } (apt-get install ${lack% })"
    skipped=$((skipped + 1))
    return
  fi
  echo "== $name =="
  if "$@"; then
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    failed=$((failed + 1))
    failures+=("$name")
  fi
}

build() {
  local java=OFF
  [ -z "$(missing jvm)" ] && java=ON
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DDBIFACE_JAVA=$java >/dev/null &&
    cmake --build "$root/build" -j"$jobs"
}
label() {
  (cd "$root/build" && ctest -L "^$1\$" --output-on-failure --no-tests=error -j"$jobs")
}
asan() {
  cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DDBIFACE_SANITIZE=ON \
      -DDBIFACE_JAVA=OFF >/dev/null &&
    cmake --build "$root/build-asan" -j"$jobs" --target dbhelper_tests &&
    "$root/build-asan/dbhelper_tests" --gtest_brief=1
}

stage build build
stage unit label unit
stage jvm label jvm
stage packaging label packaging
stage reliability label reliability
stage asan asan
if [ "$fast" = 0 ]; then
  stage sanitizers "$root/tests/reliability/ci.sh" "$root/build-reliability"
  stage windows "$root/tools/windows-build.sh" "$root/build-windows"
fi

[ "$failed" = 0 ] || echo "failed stages: ${failures[*]}"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
