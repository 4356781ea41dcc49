#!/usr/bin/env bash
# Builds the release: one jar carrying the native library for linux-x86_64, linux-aarch64,
# linux-armv7, linux-ppc64le, linux-s390x, linux-riscv64 and windows-x86_64, its pom,
# sources jar and javadoc jar, and deploys the four into a file-based Maven repository as
# gameserver:gameserver-dbiface:VERSION (VERSION: project() in CMakeLists.txt).
#
#   tools/package.sh [OUT]      default: build-package
#
#   OUT/dist/   gameserver-dbiface-VERSION.jar, -sources.jar, -javadoc.jar, .pom
#   OUT/repo/   the Maven repository (DBIFACE_MAVEN_REPO=DIR deploys into DIR instead;
#               versions already there are kept)
#   OUT/PLATFORM: each platform's build (DBIFACE_HOST_BUILD=DIR takes linux-x86_64 from an
#               existing release build; a cross build an earlier run made is brought up to
#               date, so tools/test.sh's stages build each one once)
#
# Needs: cmake, g++, g++-TRIPLE for each Linux platform (tools/cross.sh),
# g++-mingw-w64-x86-64-posix, a JDK 17+, unzip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build-package}" && cd "${1:-$root/build-package}" && pwd)
repo=${DBIFACE_MAVEN_REPO:-$out/repo}
jdk=${JDK_HOME:-$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")}
meta=META-INF/native/gameserver-dbiface
. "$root/tools/cross.sh"
platforms="linux-x86_64 $(printf 'linux-%s ' $cross_platforms)windows-x86_64"

echo "== linux-x86_64 =="
if [ -n "${DBIFACE_HOST_BUILD:-}" ]; then
  # An existing release build of this tree (tools/test.sh passes its own), brought up to date.
  host=$(cd "$DBIFACE_HOST_BUILD" && pwd)
else
  host=$out/linux-x86_64
  cmake -S "$root" -B "$host" -DCMAKE_BUILD_TYPE=Release -DDBIFACE_TESTS=OFF -DCMAKE_CXX_FLAGS=-Werror >/dev/null
fi
cmake --build "$host" -j"$(nproc)" --target dbiface_jar_native
"$root/tests/packaging/symbols.sh" "$host/lib/libgameserver_DBIface.so"
for p in $cross_platforms; do
  echo "== linux-$p =="
  CROSS_TESTS=0 "$root/tools/linux-cross-build.sh" "$p" "$out/linux-$p"
done
echo "== windows-x86_64 =="
WINDOWS_TESTS=0 "$root/tools/windows-build.sh" "$out/windows-x86_64"

version=$(sed -n 's/^Implementation-Version: //p' "$host/MANIFEST.MF")
name=gameserver-dbiface-$version
dist=$out/dist
stage=$out/stage
rm -rf "$dist" "$stage"
mkdir -p "$dist" "$stage/jar" "$stage/src/META-INF" "$stage/doc/META-INF"

echo "== $name.jar =="
# The classes, LICENSE, NOTICE and linux-x86_64 library from the host jar; each other
# platform's library from its own build's jar.
(cd "$stage/jar" && "$jdk/bin/jar" xf "$host/$name.jar" && rm -f META-INF/MANIFEST.MF)
for p in $platforms; do
  [ "$p" != linux-x86_64 ] || continue
  (cd "$stage/jar" && "$jdk/bin/jar" xf "$out/$p/$name.jar" "$meta/$p/")
done
printf '%s\n' $platforms > "$stage/jar/$meta/platforms"
"$jdk/bin/jar" --create --file "$dist/$name.jar" --manifest "$host/MANIFEST.MF" -C "$stage/jar" .
libs=$(unzip -Z1 "$dist/$name.jar" | grep "^$meta/.*/.*gameserver_DBIface\.[a-z]*$" | sort)
echo "$libs"
n=$(wc -w <<< "$platforms")
[ "$(echo "$libs" | wc -l)" = "$n" ] || { echo "package: expected $n native libraries" >&2; exit 1; }
for p in $platforms; do
  echo "$libs" | grep -q "^$meta/$p/" || { echo "package: no library for $p" >&2; exit 1; }
done

echo "== $name-sources.jar, $name-javadoc.jar, $name.pom =="
sources=("$root"/java/gameserver/*.java "$host/java/gameserver/Version.java")
tables=("$root"/java/gameserver/dbiface/*.java "$host/java/gameserver/dbiface/Version.java")
cp "$root/LICENSE" "$root/NOTICE" "$stage/src/META-INF/"
cp "$root/LICENSE" "$root/NOTICE" "$stage/doc/META-INF/"
mkdir -p "$stage/src/gameserver/dbiface"
cp "${sources[@]}" "$stage/src/gameserver/"
cp "${tables[@]}" "$stage/src/gameserver/dbiface/"
"$jdk/bin/jar" --create --file "$dist/$name-sources.jar" -C "$stage/src" .
"$jdk/bin/javadoc" -quiet -Xdoclint:all,-missing -Werror -d "$stage/doc" \
  -doctitle "gameserver-dbiface $version" "${sources[@]}" "${tables[@]}"
"$jdk/bin/jar" --create --file "$dist/$name-javadoc.jar" -C "$stage/doc" .
cp "$host/$name.pom" "$dist/$name.pom"
for j in "$name.jar" "$name-sources.jar" "$name-javadoc.jar"; do
  for f in META-INF/LICENSE META-INF/NOTICE; do
    unzip -Z1 "$dist/$j" | grep -x "$f" >/dev/null || { echo "package: $j lacks $f" >&2; exit 1; }
  done
done

echo "== deploy to $repo =="
# The layout Maven reads from a file:// repository: the files and their checksums under
# GROUP/ARTIFACT/VERSION/, and the artifact's version list beside them.
dir=$repo/gameserver/gameserver-dbiface
mkdir -p "$dir/$version"
for f in "$name.jar" "$name-sources.jar" "$name-javadoc.jar" "$name.pom"; do
  cp "$dist/$f" "$dir/$version/$f"
  sha1sum "$dir/$version/$f" | cut -d' ' -f1 > "$dir/$version/$f.sha1"
  md5sum "$dir/$version/$f" | cut -d' ' -f1 > "$dir/$version/$f.md5"
done
versions=$(find "$dir" -mindepth 2 -maxdepth 2 -name '*.pom' -printf '%h\n' | xargs -n1 basename | sort -V)
latest=$(echo "$versions" | tail -n 1)
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo '<metadata>'
  echo '  <groupId>gameserver</groupId>'
  echo '  <artifactId>gameserver-dbiface</artifactId>'
  echo '  <versioning>'
  echo "    <latest>$latest</latest>"
  echo "    <release>$latest</release>"
  echo '    <versions>'
  for v in $versions; do echo "      <version>$v</version>"; done
  echo '    </versions>'
  echo "    <lastUpdated>$(date -u +%Y%m%d%H%M%S)</lastUpdated>"
  echo '  </versioning>'
  echo '</metadata>'
} > "$dir/maven-metadata.xml"
sha1sum "$dir/maven-metadata.xml" | cut -d' ' -f1 > "$dir/maven-metadata.xml.sha1"
md5sum "$dir/maven-metadata.xml" | cut -d' ' -f1 > "$dir/maven-metadata.xml.md5"
(cd "$repo" && find gameserver -type f ! -name '*.sha1' ! -name '*.md5' | sort)
