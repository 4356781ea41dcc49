#!/usr/bin/env bash
# Builds the library and the jar, then runs the demo on a copy of the bundled sample
# table (the sample itself is never modified).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target gameserver_DBIface dbiface_jar dbiface_demo >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/samples/scores.txt" "$work/scores.txt"
version=$(sed -n 's/^Implementation-Version: //p' "$build/MANIFEST.MF")
jars="$build/gameserver-dbiface-$version.jar:$build/gameserver-dbiface-demo-$version.jar"
java -Xcheck:jni -Djava.library.path="$build/lib" -cp "$jars" gameserver.examples.Demo "$work/scores.txt"
echo "--- table file after the demo ($work/scores.txt) ---"
cat "$work/scores.txt"
