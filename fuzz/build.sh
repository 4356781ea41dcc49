#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14, ASan and UBSan into OUT (default
# build-fuzz/ at the top of the repository).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build-fuzz}
cxx=${CXX_FUZZ:-clang++-14}
mkdir -p "$out/obj"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -I"$top"
  -fsanitize=address,undefined -fno-sanitize-recover=all)
objs=()
# The core is every source of dbhelper/ but its tests (file_windows.cc is empty here).
for path in "$top"/dbhelper/*.cc; do
  case $path in *_test.cc) continue ;; esac
  src=$(basename "$path" .cc)
  "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$path" -o "$out/obj/$src.o" &
  objs+=("$out/obj/$src.o")
done
wait
for target in parse_line record load utf write; do
  "$cxx" "${flags[@]}" -fsanitize=fuzzer "$top/fuzz/fuzz_$target.cc" "${objs[@]}" -lpthread -o "$out/fuzz_$target" &
done
wait
for target in parse_line record load utf write; do
  [ -x "$out/fuzz_$target" ] || { echo "fuzz_$target did not build"; exit 1; }
done
