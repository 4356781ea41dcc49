#!/bin/sh
# symbols.sh LIB [OBJDUMP [HEADER]]
# Fails when the Linux library LIB would not load on glibc 2.28 with nothing else installed:
# a symbol version above GLIBC_2.28, a libstdc++/libgcc_s dependency (or symbol from one),
# or an export other than the JNI functions of the Java classes (DBIface, Table, TableTools),
# as declared in the headers javac -h generated (in HEADER's directory, default: jni/ beside
# LIB's lib/). SYMBOLS_GLIBC_MAX=2.N moves the limit (tools/cross.sh's per platform).
lib=$1
objdump=${2:-objdump}
header=${3:-$(dirname "$lib")/../jni/gameserver_DBIface.h}
max=${SYMBOLS_GLIBC_MAX:-2.28}
fail=0
dyn=$("$objdump" -T "$lib") || exit 1
needed=$("$objdump" -p "$lib" | sed -n 's/^ *NEEDED *//p' | tr '\n' ' ')
echo "$lib"
echo "NEEDED: $needed"

newest=$(printf '%s\n' "$dyn" | grep -o 'GLIBC_2\.[0-9][0-9.]*' | sort -u -V | tail -n 1)
echo "newest glibc symbol version: $newest (limit GLIBC_$max)"
above=$(printf '%s\n' "$dyn" | awk -v max="$max" '
  match($0, /\(GLIBC_2\.[0-9.]+\)/) {
    v = substr($0, RSTART + 7, RLENGTH - 8); split(v, a, "."); split(max, m, ".")
    if (a[1] > m[1] || (a[1] == m[1] && a[2] + 0 > m[2] + 0)) print $NF " (GLIBC_" v ")"
  }')
[ -z "$above" ] || { echo "FAIL needs a glibc above $max:"; echo "$above"; fail=1; }

case " $needed " in
  *libstdc++*|*libgcc_s*) echo "FAIL links the C++ runtime dynamically: $needed"; fail=1 ;;
esac
runtime=$(printf '%s\n' "$dyn" | grep -E '\((GLIBCXX|CXXABI|GCC)_' || true)
[ -z "$runtime" ] || { echo "FAIL imports from the C++ runtime:"; echo "$runtime"; fail=1; }

exports=$(printf '%s\n' "$dyn" | awk '$0 !~ /\*UND\*/ && / D[FO] / { print $NF }' | sort | tr '\n' ' ')
echo "exports: $exports"
want=$(cat "$(dirname "$header")"/gameserver_*.h | grep -o 'Java_gameserver_[A-Za-z0-9_]*' | sort -u | tr '\n' ' ')
[ -n "$want" ] || { echo "FAIL no JNI functions in $header"; exit 1; }
[ "$exports" = "$want" ] || { echo "FAIL exports differ from: $want"; fail=1; }

[ "$fail" = 0 ] && echo "ok: loads on glibc $max, exports only the JNI functions"
exit "$fail"
