#!/usr/bin/env bash
# Builds and runs the table benchmark: the native library through JNI against the floor
# program, the plain Java peer and (when its JDBC driver is installed) SQLite.
#
#   bench/run.sh [--quick] [--check-jni] [--no-sqlite] [--no-build] [--keep]
#                [--rounds N] [--sizes 50,1000,100000]
#
#   --quick      few rounds and short warm-up; done in well under a minute
#   --check-jni  run the JVM with -Xcheck:jni and fail on any WARNING it prints (the
#                trace lines then go through a pipe, so the times are not the real ones)
#   --no-sqlite  leave the databases out (otherwise, as root and outside CI, the script
#                installs libxerial-sqlite-jdbc-java and libh2-java when they are missing)
#   --no-build   use what is already built
#   --keep       keep the table files of the run
#
# Environment: BUILD_DIR (default <repo>/build), DBIFACE_JAR and DBIFACE_LIB_DIR (the
# library's jar and the directory of libgameserver_DBIface.so; by default found in
# BUILD_DIR), BENCH_WORK (directory for the table files; default a fresh directory
# under /tmp, removed afterwards unless --keep).
# The table is printed on standard error and saved in $BUILD_DIR/bench-run/results.md.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$build/bench-run

checkjni=0 sqlite=1 dobuild=1 keep=0
driver_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick) driver_args+=(--quick) ;;
    --check-jni) checkjni=1 ;;
    --no-sqlite) sqlite=0; driver_args+=(--no-sqlite) ;;
    --no-build) dobuild=0 ;;
    --keep) keep=1 ;;
    --rounds|--sizes)
      [ $# -ge 2 ] || { echo "run.sh: $1 needs a value" >&2; exit 2; }
      driver_args+=("$1" "$2"); shift ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

sizes=50,1000,100000
for ((i = 0; i < ${#driver_args[@]}; i++)); do
  if [ "${driver_args[$i]}" = --sizes ]; then sizes=${driver_args[$((i + 1))]}; fi
done

say() { echo "bench: $*" >&2; }
first_file() { for f in "$@"; do if [ -f "$f" ]; then echo "$f"; return; fi; done; }

# javac/java come from PATH; JAVA_HOME may be set but empty.
javac_bin=$(readlink -f "$(command -v javac)")
java_home=${JAVA_HOME:-}
[ -n "$java_home" ] || java_home=$(dirname "$(dirname "$javac_bin")")
java=$java_home/bin/java

mkdir -p "$out"

# The library. Failing to build it only leaves it out, so the rest can be run meanwhile.
lib_ok=0
if [ "$dobuild" = 1 ]; then
  if { [ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" >"$out/cmake.log" 2>&1; } &&
     cmake --build "$build" -j2 --target gameserver_DBIface dbiface_jar >>"$out/cmake.log" 2>&1; then
    lib_ok=1
  else
    say "building the library failed (see $out/cmake.log); measuring without it"
  fi
fi
jar=${DBIFACE_JAR:-$(first_file "$build"/gameserver-dbiface-*.jar)}
libdir=${DBIFACE_LIB_DIR:-$build/lib}
if [ -z "$jar" ] || [ ! -f "$jar" ] || [ ! -f "$libdir/libgameserver_DBIface.so" ]; then
  lib_ok=0
  if [ "$dobuild" = 0 ]; then say "no built library in $build; measuring without it"; fi
else
  lib_ok=1
fi

# The floor program and the Java classes of the benchmark.
cxx=${CXX:-c++}
if [ ! -x "$out/floor" ] || [ "$here/floor.cc" -nt "$out/floor" ]; then
  "$cxx" -std=c++20 -O2 -Wall -Wextra -Werror -o "$out/floor" "$here/floor.cc"
fi
rm -rf "$out/classes"
# The build generates one class (the version) beside the sources.
"$java_home/bin/javac" --release 17 -Xlint:all -Werror -implicit:none -sourcepath "$root/java:$build/java" \
  -d "$out/classes" "$here"/BenchDriver.java "$here"/PurePeer.java "$here"/SqlitePeer.java

cp="$out/classes"
if [ "$lib_ok" = 1 ]; then
  cp="$jar:$cp"
  build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
  rev=$(git -C "$root" describe --always --dirty 2>/dev/null || echo unknown)
  driver_args+=(--note "library: $libdir/libgameserver_DBIface.so, build type ${build_type:-unknown}, source $rev")
  driver_args+=(--jar "$jar")
fi
if [ "$sqlite" = 1 ]; then
  # The databases measured beside the library: SQLite and H2, through JDBC.
  for peer in "libxerial-sqlite-jdbc-java sqlite-jdbc.jar xerial-sqlite-jdbc.jar" "libh2-java h2.jar"; do
    set -- $peer
    pkg=$1
    shift
    jars=()
    for j in "$@"; do jars+=("/usr/share/java/$j"); done
    peer_jar=$(first_file "${jars[@]}")
    if [ -z "$peer_jar" ] && [ "$(id -u)" = 0 ] && [ "${CI:-}" != true ]; then
      say "installing $pkg for the database peers"
      if DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$pkg" >>"$out/apt.log" 2>&1 ||
         { apt-get update -q >>"$out/apt.log" 2>&1 &&
           DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$pkg" >>"$out/apt.log" 2>&1; }; then
        peer_jar=$(first_file "${jars[@]}")
      else
        say "could not install $pkg (see $out/apt.log); left out"
      fi
    fi
    if [ -n "$peer_jar" ]; then cp="$cp:$peer_jar"; fi
  done
fi

# Table files.
if [ -n "${BENCH_WORK:-}" ]; then
  work=$BENCH_WORK
  mkdir -p "$work"
else
  work=$(mktemp -d /tmp/dbiface-bench.XXXXXX)
fi
cleanup() { [ "$keep" = 1 ] || [ -n "${BENCH_WORK:-}" ] || rm -rf "$work"; }
trap cleanup EXIT
for rows in ${sizes//,/ }; do
  "$here/gen_table.sh" "$rows" "$work/table-$rows.txt"
done

# The library finds libgameserver_DBIface.so through LD_LIBRARY_PATH, which the JVM puts
# in front of its own library path, so system JNI libraries (SQLite's) are still found.
jvm=(-Xms512m -Xmx512m)
run_driver() {
  LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    "$java" "${jvm[@]}" "$@" -cp "$cp" BenchDriver --work "$work" --floor "$out/floor" \
    --out "$out/results.md" "${driver_args[@]}"
}

say "tables in $work; results go to standard error and $out/results.md"
if [ "$checkjni" = 1 ]; then
  # The JVM prints its JNI warnings on standard output, among the trace lines.
  status=0
  run_driver -Xcheck:jni 2>"$out/stderr.log" | { grep -a WARNING || true; } >"$out/jni-warnings.log" ||
    status=$?
  cat "$out/stderr.log" >&2
  if [ -s "$out/jni-warnings.log" ] || grep -aq WARNING "$out/stderr.log"; then
    say "-Xcheck:jni reported warnings:"
    cat "$out/jni-warnings.log" >&2
    grep -a WARNING "$out/stderr.log" >&2 || true
    exit 1
  fi
  exit "$status"
fi
# The library still formats and writes its trace lines; /dev/null only swallows them.
status=0
run_driver >/dev/null || status=$?
# The first count after a change with and without the cache (the core, no JNI), when built.
micro=$build/bench/dbiface_micro_bench
if [ -x "$micro" ]; then
  reps=5; [[ " ${driver_args[*]} " == *" --quick "* ]] && reps=1
  { echo; echo "## Core: first count after another program's append, 100,000 rows (0: cache off, 1: on)"; echo
    "$micro" --benchmark_filter=countAfterAppend --benchmark_repetitions=$reps --benchmark_format=console \
      --benchmark_report_aggregates_only=$([ $reps -gt 1 ] && echo true || echo false) 2>/dev/null |
      grep -E '^BM_' | grep -v -E '_(mean|stddev|cv) ' | sed 's/^/    /'; } | tee -a "$out/results.md" >&2
fi
exit "$status"
