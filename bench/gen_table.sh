#!/bin/sh
# Writes a score table with a NAME|SCORE|DATE header and ROWS data rows to OUT
# (standard output when OUT is omitted). Rows are about 25 bytes each and the
# content is the same on every run, so results from different runs compare.
set -eu
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 ROWS [OUT]" >&2
  exit 2
fi
rows=$1
case $rows in ''|*[!0-9]*) echo "$0: ROWS must be a number" >&2; exit 2;; esac
gen() {
  awk -v rows="$rows" 'BEGIN {
    print "NAME|SCORE|DATE"
    # A fixed linear congruential sequence rather than rand(), which awk variants seed
    # differently; every product stays below 2^53, so it is exact in any awk.
    x = 12345
    for (i = 1; i <= rows; i++) {
      x = (x * 69069 + 1) % 4294967296
      score = int(x / 65536) % 10000
      month = 1 + i % 12
      day = 1 + int(x / 256) % 28
      printf "pl%07d|%d|%d/%d/%d\n", i, score, month, day, 2000 + i % 25
    }
  }'
}
if [ $# -eq 2 ]; then
  gen > "$2.tmp.$$" && mv "$2.tmp.$$" "$2"
else
  gen
fi
