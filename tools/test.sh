#!/usr/bin/env bash
# Runs the whole test suite, stage by stage:
#   build        release build (library, jar, tests)
#   unit         ctest -L unit: the core's unit tests
#   jvm          ctest -L jvm: the JVM cases under JUnit 5 (JDK 17, and JDK 25 when installed)
#   packaging    ctest -L packaging: loading the bundled library, the command-line tool
#   reliability  ctest -L reliability: threads, processes, kill loop, fault injection,
#                hostile input
#   asan         the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer
#   gluster      two mounts of one GlusterFS volume as two hosts: writers on both, a reader,
#                a kill loop, with the volume's defaults and with the option the library
#                asks for (tests/reliability/gluster.sh; as root with /dev/fuse)
#   sanitizers   fuzzing for a bounded time, threads under ThreadSanitizer, fault injection
#                under ASan/UBSan (clang-14)
#   windows      the Windows build with mingw-w64 and its tests under Wine
#   aarch64      the linux-aarch64 cross build, its symbols, the native smoke program, the
#                core's unit tests and the freshness and power-cut harnesses under qemu-user
#   armv7 ppc64le s390x riscv64
#                each platform's cross build (tools/linux-cross-build.sh), its symbols and
#                ELF header, the native smoke program under qemu-user; s390x, the big-endian
#                one, also the core's unit tests, shorter harness runs and the undo record's
#                trip to and from the host build; the unit tests also on one of armv7,
#                ppc64le and riscv64 in turn
#   package      the one jar for every platform (tools/package.sh), the loader's choices on
#                it under each JDK, java -jar from an empty directory
#   maven        a consumer project built with Maven offline against the file repository
#   aarch64-jvm  JVM cases on Debian's arm64 JRE under qemu-user (a subset in CI, see
#                tools/linux-cross-jvm.sh), java -jar of the one jar there
#   cross-jvm    every 12th JVM case and java -jar on one of the ppc64el, s390x and armhf
#                JREs in turn (riscv64 has none in Debian 12)
# The turn is the commit's: its hash modulo 3 picks the unit tests' platform and cross-jvm's
# (CROSS_PICK=0, 1 or 2 chooses); CROSS_ALL=1 runs every new platform's unit tests and
# cross-jvm on all three JREs.
# --fast stops after asan. As root on Debian, the packages of tools/packages.txt that are
# missing are installed first; otherwise a stage that lacks one is skipped and named.
# The last line counts stages, then the tests skipped inside the stages that ran:
# "N passed, M failed, K skipped (J tests skipped inside stages)"; the exit status is 0
# when none failed.
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
# The new Linux platforms' turn (see above): which one runs the unit tests, and which JRE.
pick=${CROSS_PICK:-$(( 0x$(git -C "$root" rev-parse --short=7 HEAD 2>/dev/null || echo 0) % 3 ))}
unit_turn=(armv7 ppc64le riscv64)
jvm_turn=(ppc64le s390x armv7)
jvm_platforms=${jvm_turn[$pick]}
[ "${CROSS_ALL:-0}" = 1 ] && jvm_platforms="${jvm_turn[*]}"
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  refresh=0
  # The JREs that aarch64-jvm and cross-jvm run under qemu are unpacked from Debian's lists
  # for their architectures: arm64 and this run's turn.
  . "$root/tools/cross.sh"
  for p in aarch64 $jvm_platforms; do
    cross_platform "$p"
    if [ "$fast" = 0 ] && ! dpkg --print-foreign-architectures | grep -qx "$debarch"; then
      dpkg --add-architecture "$debarch" && refresh=1
    fi
  done
  want=$(grep -v -E '^\s*(#|$)' "$root/tools/packages.txt" | while read -r _ pkg check; do
    present "$check" || echo "$pkg"
  done | sort -u | tr '\n' ' ')
  if [ -n "$want" ] || [ "$refresh" = 1 ]; then
    echo "== installing $want=="
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $want >/dev/null \
      || echo "apt-get install failed; stages that still lack a package are skipped"
  fi
fi

# ---- stages -----------------------------------------------------------------------------
passed=0 failed=0 skipped=0 inner=0
failures=()
# skips_in FILE...: the tests these logs show as skipped: GoogleTest's "[  SKIPPED ] N
# tests" summary, the JUnit console's "N tests skipped" and "N tests aborted" (an
# assumption did not hold), and the scripts' "SKIP" lines (a JDK not installed, say).
skips_in() {
  awk '/^\[  SKIPPED \] [0-9]+ tests?[,.]/ { n += $4 }
       /^\[ *[0-9]+ tests (skipped|aborted) *\]$/ {
         match($0, /[0-9]+/); n += substr($0, RSTART, RLENGTH) }
       /^SKIP[: ]/ { n++ }
       END { print n + 0 }' "$@"
}
# A stage's output, and the number of skips a stage counted itself (label).
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
log=$scratch/log counted=$scratch/counted
stage() {
  local name=$1
  shift
  local lack t0=$SECONDS n
  lack=$(missing "$name" | tr '\n' ' ')
  if [ -n "$lack" ]; then
    echo "SKIP $name: needs ${lack% } (apt-get install ${lack% })"
    skipped=$((skipped + 1))
    return
  fi
  echo "== $name =="
  : > "$counted"
  "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  n=$(cat "$counted")
  [ -n "$n" ] || n=$(skips_in "$log")
  [ "$rc" != 77 ] || n=0  # a skipped stage counts once, as a stage
  inner=$((inner + n))
  if [ "$rc" = 0 ]; then
    passed=$((passed + 1))
  elif [ "$rc" = 77 ]; then
    echo "SKIP $name (it said why above)"
    skipped=$((skipped + 1))
  else
    echo "FAIL $name"
    failed=$((failed + 1))
    failures+=("$name")
  fi
  echo "-- $name: $((SECONDS - t0)) s$([ "$n" = 0 ] || echo ", $n skipped inside")"
}

build() {
  local java=OFF
  [ -z "$(missing jvm)" ] && java=ON
  cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DDBIFACE_JAVA=$java >/dev/null &&
    cmake --build "$root/build" -j"$jobs"
}
label() {
  local last=$root/build/Testing/Temporary/LastTest.log
  rm -f "$last"
  (cd "$root/build" && ctest -L "^$1\$" --output-on-failure --no-tests=error -j"$jobs") |
    tee "$scratch/ctest"
  local rc=${PIPESTATUS[0]} n=0
  # ctest shows a passing entry's output only in its log: the skips are counted there,
  # plus the entries that could not run at all.
  [ -f "$last" ] && n=$(skips_in "$last")
  echo $((n + $(grep -c '\*\*\*Not Run' "$scratch/ctest"))) > "$counted"
  return "$rc"
}
asan() {
  cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DDBIFACE_SANITIZE=ON \
      -DDBIFACE_JAVA=OFF >/dev/null &&
    cmake --build "$root/build-asan" -j"$jobs" --target dbhelper_tests &&
    "$root/build-asan/dbhelper_tests" --gtest_brief=1
}

# The one jar, the loader's choices on it under each JDK (JDK 25 when installed).
pkg=$root/build-package
dist_jar() {
  echo "$pkg/dist/gameserver-dbiface-$(sed -n 's/^Implementation-Version: //p' "$root/build/MANIFEST.MF").jar"
}
package() {
  DBIFACE_HOST_BUILD=$root/build "$root/tools/package.sh" "$pkg" || return 1
  local java rc=0
  for java in "$(command -v java)" "${DBIFACE_JDK25_JAVA:-/usr/lib/jvm/temurin-25-jdk-amd64/bin/java}"; do
    [ -x "$java" ] || { echo "SKIP: $java is not installed"; continue; }
    "$root/tests/packaging/loader.sh" "$java" "$(dist_jar)" "$root/build/tests/packaging/stale-lib" || rc=1
  done
  return $rc
}
aarch64_jvm() {
  # Every fourth JVM case, spread over the whole table: all of them take over two minutes
  # under emulation (AARCH64_JVM_STRIDE=1 runs them all).
  CROSS_JVM_STRIDE=${AARCH64_JVM_STRIDE:-4} "$root/tools/linux-cross-jvm.sh" aarch64 \
    "$pkg/linux-aarch64" "$root/build" "$(dist_jar)"
}
# cross_stage PLATFORM: the cross build and what runs of it this turn (see above).
cross_stage() {
  local unit=0 harnesses=0 endian=
  if [ "$1" = s390x ]; then
    # The big-endian one: where a byte-order slip would show.
    unit=1 harnesses=1 endian=$root/build
  elif [ "$1" = "${unit_turn[$pick]}" ] || [ "${CROSS_ALL:-0}" = 1 ]; then
    unit=1
  fi
  CROSS_UNIT=$unit CROSS_HARNESSES=$harnesses CROSS_ENDIAN_HOST=$endian \
    CROSS_FRESHNESS_CHANGES=300 CROSS_POWERCUT_SAMPLES=60 \
    "$root/tools/linux-cross-build.sh" "$1" "$pkg/linux-$1"
}
# Every 12th case, from the 0th, 4th or 8th by the turn, so the cases take turns as well.
cross_jvm() {
  local p rc=0 r
  for p in $jvm_platforms; do
    CROSS_JVM_STRIDE=${CROSS_JVM_STRIDE:-12} CROSS_JVM_FIRST=$(( 4 * pick )) \
      "$root/tools/linux-cross-jvm.sh" "$p" "$pkg/linux-$p" "$root/build" "$(dist_jar)"
    r=$?
    # 77, skipped, only while nothing failed
    [ "$r" = 0 ] || { [ "$r" = 77 ] && [ "$rc" = 0 ] && rc=77; } || rc=1
  done
  return $rc
}

stage build build
stage unit label unit
stage jvm label jvm
stage packaging label packaging
stage reliability label reliability
stage asan asan
if [ "$fast" = 0 ]; then
  stage gluster "$root/tests/reliability/gluster.sh" "$root/build"
  stage sanitizers "$root/tests/reliability/ci.sh" "$root/build-reliability"
  # The windows and Linux cross builds are the ones tools/package.sh bundles: built once.
  stage windows "$root/tools/windows-build.sh" "$pkg/windows-x86_64"
  stage aarch64 "$root/tools/linux-cross-build.sh" aarch64 "$pkg/linux-aarch64"
  for p in armv7 ppc64le s390x riscv64; do stage "$p" cross_stage "$p"; done
  stage package package
  stage maven "$root/tests/packaging/maven-consumer.sh" "$pkg/repo"
  stage aarch64-jvm aarch64_jvm
  stage cross-jvm cross_jvm
fi

[ "$failed" = 0 ] || echo "failed stages: ${failures[*]}"
echo "$passed passed, $failed failed, $skipped skipped ($inner test$([ "$inner" = 1 ] || echo s) skipped inside stages)"
[ "$failed" = 0 ]
