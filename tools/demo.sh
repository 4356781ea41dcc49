#!/usr/bin/env bash
# Builds the jar (the library bundled in it), then runs the demo on a copy of the sample
# table (the sample itself is never modified), with only the jar on the class path, as a
# user of the jar would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target dbiface_jar_native >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/samples/scores.txt" "$work/scores.txt"
jar=$(ls "$build"/gameserver-dbiface-*.jar | head -n 1)
java -Xcheck:jni --enable-native-access=ALL-UNNAMED -cp "$jar" gameserver.Demo "$work/scores.txt"
echo "--- table file after the demo ($work/scores.txt) ---"
cat "$work/scores.txt"
