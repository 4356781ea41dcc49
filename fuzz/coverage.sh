#!/usr/bin/env bash
# Line and branch coverage of the core reached by a fuzz corpus: rebuilds the targets with
# source-based coverage, replays OUT/corpus (as left by run.sh) plus the seeds, and prints
# llvm-cov's report for dbhelper/. Usage: fuzz/coverage.sh [OUT]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build-fuzz}
cov=$out/coverage
mkdir -p "$cov"
flags=(-std=c++20 -g -O1 -I"$top" -fprofile-instr-generate -fcoverage-mapping)
core=("$top"/dbhelper/{status,file,DBHelper,recovery,utf}.cc)
# The core is compiled once, so every binary carries the same profile data for it.
objs=()
for src in "${core[@]}"; do
  obj=$cov/$(basename "$src" .cc).o
  clang++-14 "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj" &
  objs+=("$obj")
done
wait
bins=()
for target in parse_line record load utf write; do
  clang++-14 "${flags[@]}" -fsanitize=fuzzer "$top/fuzz/fuzz_$target.cc" "${objs[@]}" -lpthread \
    -o "$cov/fuzz_$target" &
  bins+=("$cov/fuzz_$target")
done
wait
rm -f "$cov"/*.profraw
for target in parse_line record load utf write; do
  mkdir -p "$out/corpus/$target"
  LLVM_PROFILE_FILE="$cov/$target.profraw" "$cov/fuzz_$target" -runs=0 \
    "$out/corpus/$target" "$top/fuzz/corpus/$target" >/dev/null 2>&1
done
llvm-profdata-14 merge -sparse "$cov"/*.profraw -o "$cov/all.profdata"
objects=()
for b in "${bins[@]:1}"; do objects+=(-object "$b"); done
llvm-cov-14 report "${bins[0]}" "${objects[@]}" -instr-profile="$cov/all.profdata" \
  "${core[@]}"
