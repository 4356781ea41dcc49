#!/usr/bin/env bash
# Cross-compiles libgameserver_DBIface.so for linux-PLATFORM (aarch64, armv7, ppc64le,
# s390x, riscv64; tools/cross.sh) with Debian's g++-TRIPLE, checks its glibc symbols and
# exports, and runs under qemu-user: the native smoke program (tests/native/smoke.cc), the
# core's unit tests (dbhelper/*_test.cc, against GoogleTest cross-built from
# /usr/src/googletest), the freshness and power-cut harnesses (tests/reliability) and the
# undo record's trip between this build and the host's (tests/reliability/endian.sh).
#
#   tools/linux-cross-build.sh PLATFORM [BUILD_DIR]     default: build-PLATFORM
#
# What runs (unset: everything but the trip):
#   CROSS_TESTS=0           only builds (tools/package.sh)
#   CROSS_UNIT=0            no unit tests; CROSS_UNIT=K/N runs GoogleTest's shard K of N
#   CROSS_HARNESSES=0       no freshness or power-cut harness
#   CROSS_FRESHNESS_CHANGES, CROSS_POWERCUT_SAMPLES   their lengths (1000, 90)
#   CROSS_ENDIAN_HOST=DIR   the trip, against DIR/tests/reliability/dbtool (a host build)
# Needs: g++-TRIPLE, qemu-user, googletest, a JDK (javac generates the JNI header; jni.h
# and jni_md.h come from the host JDK, the same for every Linux architecture).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
platform=${1:?usage: linux-cross-build.sh PLATFORM [BUILD_DIR]}
build=$(mkdir -p "${2:-$root/build-$platform}" && cd "${2:-$root/build-$platform}" && pwd)
jdk=${JDK_HOME:-$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")}
. "$root/tools/cross.sh"
cross_platform "$platform"
cxx=$cross-g++
toolchain=$root/cmake/$cross.cmake
export QEMU_LD_PREFIX=/usr/$cross

for tool in "$cxx" cmake javac; do
  command -v "$tool" >/dev/null || { echo "linux-cross-build: $tool not found" >&2; exit 1; }
done

echo "== cross-compile linux-$platform ($cxx, $jdk/include) =="
cross_build_library "$build" "$toolchain" "$jdk/include/linux"
lib="$build/lib/libgameserver_DBIface.so"
SYMBOLS_GLIBC_MAX=$glibc_max "$root/tests/packaging/symbols.sh" "$lib" "$cross-objdump"
# The jar must not carry another platform's build (armel's soft float, say) under this name.
header=$("$cross-readelf" -hA "$lib" | tr -s ' ' | tr '\n' ';')
grep -Eq "$elf" <<< "$header" || { echo "FAIL $lib is not linux-$platform ($elf): $header"; exit 1; }
echo "ok: $(grep -Eo "$elf" <<< "$header" | sed 's/;.*Machine: / /; s/;.*//')"

[ "${CROSS_TESTS:-1}" = 1 ] || exit 0
command -v "$qemu" >/dev/null || { echo "linux-cross-build: $qemu not found" >&2; exit 1; }
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT

echo "== smoke test under $qemu =="
version=$(sed -n 's/^Implementation-Version: //p' "$build/MANIFEST.MF")
"$cxx" $cflags -std=c++20 -O2 -Wall -Wextra -Werror -DDBIFACE_VERSION="\"$version\"" \
  -I"$jdk/include" -I"$jdk/include/linux" -o "$build/smoke" "$root/tests/native/smoke.cc" -pthread -ldl
(cd "$run" && timeout 300 "$qemu" "$build/smoke" "$build/lib")

unit=${CROSS_UNIT:-1}
if [ "$unit" != 0 ]; then
  shard=
  # GoogleTest's own sharding: shard K of N runs every Nth test of the whole list.
  if [[ "$unit" =~ ^([0-9]+)/([0-9]+)$ ]]; then
    export GTEST_SHARD_INDEX=${BASH_REMATCH[1]} GTEST_TOTAL_SHARDS=${BASH_REMATCH[2]}
    shard=" (shard $unit)"
  fi
  echo "== core unit tests under $qemu$shard =="
  gtest=$build/googletest
  cross_build_gtest "$build" "$toolchain"
  # One file per compiler, as many at once as there are cores: most of this stage's time.
  rm -rf "$build/unit" && mkdir -p "$build/unit"
  printf '%s\n' "$root"/dbhelper/*_test.cc | xargs -P "$(nproc)" -I{} sh -c \
    'exec "$0" $1 -std=c++20 -O1 -Wall -Wextra -Werror -I"$2" -I"$3" -c "$4" -o "$5/$(basename "$4" .cc).o"' \
    "$cxx" "$cflags" "$root" "$gtest/prefix/include" {} "$build/unit"
  "$cxx" $cflags -o "$build/dbhelper_tests" "$build"/unit/*_test.o "$build/libdbhelper.a" \
    "$gtest/prefix/lib/libgtest_main.a" "$gtest/prefix/lib/libgtest.a" -pthread
  (cd "$run" && timeout 600 "$qemu" "$build/dbhelper_tests" --gtest_brief=1)
  unset GTEST_SHARD_INDEX GTEST_TOTAL_SHARDS
fi

# rel NAME SOURCE...: a tests/reliability program built for this platform.
rel() {
  local name=$1 f srcs=()
  shift
  for f in "$@"; do srcs+=("$root/tests/reliability/$f.cc"); done
  "$cxx" $cflags -std=c++20 -O2 -Wall -Wextra -Werror -I"$root" -o "$build/$name" "${srcs[@]}" \
    "$build/libdbhelper.a" -pthread
}

# The harnesses that lean hardest on the kernel interface qemu translates: statx and inotify
# (freshness, with a forked mutator), and the sync and write sequence of durable writes
# (power cuts). Shorter runs than on the host.
if [ "${CROSS_HARNESSES:-1}" != 0 ]; then
  echo "== freshness and power-cut harnesses under $qemu =="
  rel reliability_freshness freshness freshness_own_writes
  rel reliability_powercut powercut
  (cd "$run" && timeout 600 "$qemu" "$build/reliability_freshness" "${CROSS_FRESHNESS_CHANGES:-1000}")
  # 90 samples: just over the 10,000 states the harness asks for; tmpfs where there is one,
  # since its syncs only need to be made, not to reach a disk.
  shm=/dev/shm; [ -d "$shm" ] && [ -w "$shm" ] || shm=$run
  (cd "$run" && TMPDIR=$shm timeout 600 "$qemu" "$build/reliability_powercut" "${CROSS_POWERCUT_SAMPLES:-90}")
fi

if [ -n "${CROSS_ENDIAN_HOST:-}" ]; then
  echo "== undo records between linux-x86_64 and linux-$platform =="
  rel dbtool dbtool
  (cd "$run" && "$root/tests/reliability/endian.sh" "$CROSS_ENDIAN_HOST/tests/reliability/dbtool" \
    "$qemu $build/dbtool")
fi
