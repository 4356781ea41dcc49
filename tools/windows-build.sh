#!/usr/bin/env bash
# Cross-compiles gameserver_DBIface.dll for 64-bit Windows with mingw-w64 and runs the
# native smoke test (tests/native/smoke.cc) against it under Wine.
#
#   tools/windows-build.sh [BUILD_DIR]     default: build-windows
#
# It also cross-builds GoogleTest (from /usr/src/googletest) and the core's unit tests
# (dbhelper/*_test.cc) and runs them under Wine; WINDOWS_UNIT_TESTS=0 skips that, and
# WINDOWS_TESTS=0 skips every run under Wine.
#
# Needs: g++-mingw-w64-x86-64-posix, wine64 (wine), a JDK (javac generates the JNI
# header; jni.h comes from the host JDK, jni_md.h from cmake/jni-win32).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$root/build-windows}" && cd "${1:-$root/build-windows}" && pwd)
jdk=${JDK_HOME:-$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")}
cxx=x86_64-w64-mingw32-g++-posix
. "$root/tools/cross.sh"

for tool in "$cxx" cmake javac; do
  command -v "$tool" >/dev/null || { echo "windows-build: $tool not found" >&2; exit 1; }
done
wine=$(command -v wine64 || command -v wine || true)
if [ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64; fi

echo "== cross-compile (mingw-w64, $jdk/include) =="
cross_build_library "$build" "$root/cmake/mingw-w64.cmake" "$root/cmake/jni-win32"
dll="$build/gameserver_DBIface.dll"
[ -f "$dll" ] || { echo "windows-build: $dll was not built" >&2; exit 1; }

echo "== exports and imports of $(basename "$dll") =="
objdump=x86_64-w64-mingw32-objdump
exports=$("$objdump" -p "$dll" | sed -n 's/^\s*\[\s*[0-9]*\] \(Java_.*\)$/\1/p' | sort | tr '\n' ' ')
echo "exports: $exports"
# Exactly the classes' native methods, as javac -h declared them.
want=$(cat "$build"/jni/gameserver_*.h | grep -o 'Java_gameserver_[A-Za-z0-9_]*' | sort -u | tr '\n' ' ')
[ -n "$want" ] || { echo "windows-build: no JNI functions in $build/jni/gameserver_DBIface.h" >&2; exit 1; }
[ "$exports" = "$want" ] || { echo "windows-build: unexpected exports" >&2; exit 1; }
imports=$("$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p' | sort | tr '\n' ' ')
echo "imports: $imports"
# Only system DLLs: nothing from the compiler's runtime to ship beside it.
for d in $imports; do
  case "$d" in KERNEL32.dll|msvcrt.dll|api-ms-win-*) ;; *) echo "windows-build: depends on $d" >&2; exit 1 ;; esac
done
jarfile="$build/gameserver-dbiface-$(sed -n 's/^Implementation-Version: //p' "$build/MANIFEST.MF").jar"
listing=$("$jdk/bin/jar" tf "$jarfile")
case "$listing" in
  *META-INF/native/gameserver-dbiface/windows-x86_64/gameserver_DBIface.dll*) echo "jar: $jarfile carries META-INF/native/gameserver-dbiface/windows-x86_64/gameserver_DBIface.dll" ;;
  *) echo "windows-build: the jar lacks the DLL" >&2; exit 1 ;;
esac

# WINDOWS_TESTS=0 (tools/package.sh): the library and its jar only.
[ "${WINDOWS_TESTS:-1}" = 1 ] || exit 0

echo "== smoke test =="
"$cxx" -std=c++20 -O2 -Wall -Wextra -Werror -static \
  -I"$jdk/include" -I"$root/cmake/jni-win32" \
  -DDBIFACE_VERSION="\"$(sed -n 's/^Implementation-Version: //p' "$build/MANIFEST.MF")\"" \
  -o "$build/smoke.exe" "$root/tests/native/smoke.cc"
if [ -z "$wine" ]; then
  echo "windows-build: wine not installed; built but did not run $build/smoke.exe" >&2
  exit 1
fi
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko install prompts
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
cp "$dll" "$build/smoke.exe" "$run/"
(cd "$run" && timeout 300 "$wine" smoke.exe) | tr -d '\r'

if [ "${WINDOWS_UNIT_TESTS:-1}" = 1 ]; then
  echo "== core unit tests under Wine =="
  gtest=$build/googletest
  cross_build_gtest "$build" "$root/cmake/mingw-w64.cmake"
  "$cxx" -std=c++20 -O1 -Wall -Wextra -static -I"$root" -I"$gtest/prefix/include" \
    -o "$build/dbhelper_tests.exe" "$root"/dbhelper/*_test.cc "$build/libdbhelper.a" \
    "$gtest/prefix/lib/libgtest_main.a" "$gtest/prefix/lib/libgtest.a"
  cp "$build/dbhelper_tests.exe" "$run/"
  (cd "$run" && timeout 600 "$wine" dbhelper_tests.exe) | tr -d '\r'
fi
