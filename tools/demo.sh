#!/usr/bin/env bash
# Builds the jar (the library bundled in it) and the demo's own jar, then runs the demo on a
# copy of the sample table (the sample itself is never modified), with only the two jars on
# the class path, as a user of the jar would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target dbiface_jar_native dbiface_demo >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/samples/scores.txt" "$work/scores.txt"
version=$(sed -n 's/^Implementation-Version: //p' "$build/MANIFEST.MF")
jars="$build/gameserver-dbiface-$version.jar:$build/gameserver-dbiface-demo-$version.jar"
java -Xcheck:jni --enable-native-access=ALL-UNNAMED -cp "$jars" gameserver.examples.Demo "$work/scores.txt"
echo "--- table file after the demo ($work/scores.txt) ---"
cat "$work/scores.txt"
