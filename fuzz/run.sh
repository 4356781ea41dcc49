#!/usr/bin/env bash
# Builds the fuzz targets and runs each for SECONDS (default 12, so about a minute for all
# five), starting from the seed corpus in fuzz/corpus. New inputs go to OUT/corpus, never
# into the repository. Prints executions and coverage per target; fails on any crash.
# Usage: fuzz/run.sh [SECONDS] [OUT]
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-12}
out=${2:-$top/build-fuzz}
"$top/fuzz/build.sh" "$out" || exit 1
rc=0
printf '%-12s %12s %8s %8s %s\n' target executions cov ft result
for target in parse_line record load utf write; do
  mkdir -p "$out/corpus/$target"
  log=$out/fuzz_$target.log
  (cd "$out" && ./fuzz_$target -max_total_time="$secs" -print_final_stats=1 -rss_limit_mb=2048 \
      -timeout=10 "corpus/$target" "$top/fuzz/corpus/$target") >"$log" 2>&1
  r=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*')
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*')
  if [ $r -eq 0 ]; then res=ok; else res="FAILED (see $log)"; rc=1; fi
  printf '%-12s %12s %8s %8s %s\n' "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$res"
  [ $r -eq 0 ] || grep -E -A15 'ERROR|check failed|SUMMARY' "$log" | head -n 40
done
exit $rc
