#!/usr/bin/env bash
# Cross-compiles libgameserver_DBIface.so for linux-aarch64 with Debian's
# g++-aarch64-linux-gnu, checks its glibc symbols and exports, and runs the core's unit
# tests (dbhelper/*_test.cc, against GoogleTest cross-built from /usr/src/googletest), the
# native smoke program (tests/native/smoke.cc) and the freshness and power-cut harnesses
# (tests/reliability) under qemu-user.
#
#   tools/aarch64-build.sh [BUILD_DIR]     default: build-aarch64
#
# AARCH64_TESTS=0 only builds. Needs: g++-aarch64-linux-gnu, qemu-user, googletest, a JDK
# (javac generates the JNI header; jni.h and jni_md.h come from the host JDK, the same
# for every Linux architecture).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$root/build-aarch64}" && cd "${1:-$root/build-aarch64}" && pwd)
jdk=${JDK_HOME:-$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")}
cross=aarch64-linux-gnu
cxx=$cross-g++
sysroot=/usr/$cross
. "$root/tools/cross.sh"

for tool in "$cxx" cmake javac; do
  command -v "$tool" >/dev/null || { echo "aarch64-build: $tool not found" >&2; exit 1; }
done

echo "== cross-compile ($cxx, $jdk/include) =="
cross_build_library "$build" "$root/cmake/aarch64-linux-gnu.cmake" "$jdk/include/linux"
lib="$build/lib/libgameserver_DBIface.so"
"$root/tests/packaging/symbols.sh" "$lib" "$cross-objdump"

[ "${AARCH64_TESTS:-1}" = 1 ] || exit 0
command -v qemu-aarch64 >/dev/null || { echo "aarch64-build: qemu-aarch64 not found" >&2; exit 1; }
export QEMU_LD_PREFIX=$sysroot
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT

echo "== smoke test under qemu-aarch64 =="
version=$(sed -n 's/^Implementation-Version: //p' "$build/MANIFEST.MF")
"$cxx" -std=c++20 -O2 -Wall -Wextra -Werror -DDBIFACE_VERSION="\"$version\"" \
  -I"$jdk/include" -I"$jdk/include/linux" -o "$build/smoke" "$root/tests/native/smoke.cc" -pthread -ldl
(cd "$run" && timeout 300 qemu-aarch64 "$build/smoke" "$build/lib")

echo "== core unit tests under qemu-aarch64 =="
gtest=$build/googletest
cross_build_gtest "$build" "$root/cmake/aarch64-linux-gnu.cmake"
"$cxx" -std=c++20 -O1 -Wall -Wextra -I"$root" -I"$gtest/prefix/include" \
  -o "$build/dbhelper_tests" "$root"/dbhelper/*_test.cc "$build/libdbhelper.a" \
  "$gtest/prefix/lib/libgtest_main.a" "$gtest/prefix/lib/libgtest.a" -pthread
(cd "$run" && timeout 600 qemu-aarch64 "$build/dbhelper_tests" --gtest_brief=1)

# The harnesses that lean hardest on the kernel interface qemu translates: statx and inotify
# (freshness, with a forked mutator), and the sync and write sequence of durable writes
# (power cuts). Shorter runs than on the host.
echo "== freshness and power-cut harnesses under qemu-aarch64 =="
for h in "freshness freshness_own_writes" powercut; do
  set -- $h
  srcs=()
  for f in "$@"; do srcs+=("$root/tests/reliability/$f.cc"); done
  "$cxx" -std=c++20 -O2 -Wall -Wextra -Werror -I"$root" -o "$build/reliability_$1" \
    "${srcs[@]}" "$build/libdbhelper.a" -pthread
done
(cd "$run" && timeout 600 qemu-aarch64 "$build/reliability_freshness" "${AARCH64_FRESHNESS_CHANGES:-1000}")
# 90 samples: just over the 10,000 states the harness asks for; tmpfs where there is one,
# since its syncs only need to be made, not to reach a disk.
shm=/dev/shm; [ -d "$shm" ] && [ -w "$shm" ] || shm=$run
(cd "$run" && TMPDIR=$shm timeout 600 qemu-aarch64 "$build/reliability_powercut" "${AARCH64_POWERCUT_SAMPLES:-90}")
