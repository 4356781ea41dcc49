#!/usr/bin/env bash
# loader.sh JAVA JAR STALE_LIBDIR
# How the jar's loader chooses, as a user meets it through `java -jar` and the module path:
# the platform each os.arch names, an unsupported platform, a library of another version
# (STALE_LIBDIR holds one), the gameserver.dbiface.tmpdir directory. Each case runs JAVA
# with -Xcheck:jni from an empty directory and fails on any WARNING.
set -u
java=$1
jar=$(readlink -f "$2")
stale=$(readlink -f "$3")
lib=libgameserver_DBIface.so
meta=META-INF/native/gameserver-dbiface
version=$(unzip -p "$jar" META-INF/MANIFEST.MF | tr -d '\r' | sed -n 's/^Implementation-Version: //p')
carried=$(unzip -p "$jar" "$meta/platforms" | paste -s -d, - | sed 's/,/, /g')
[ -n "$version" ] && [ -n "$carried" ] || { echo "FAIL $jar lacks its version or platform list"; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0
failed=0
n=0

# t NAME EXIT 'TEXT|!ABSENT|...' 'SHELL CHECK' JAVA-ARGS...   ($d: the case's directory)
t() {
  local name=$1 want=$2 texts=$3 post=$4 got text problem=
  shift 4
  n=$((n + 1))
  d=$scratch/$n
  mkdir -p "$d/cwd" "$d/tmp"
  printf 'NAME|SCORE|DATE\nann|10|1/1/2020\n' > "$d/t.txt"
  local args=()
  for a in "$@"; do args+=("${a//@D/$d}"); done
  (cd "$d/cwd" && "$java" -Xcheck:jni -Djava.io.tmpdir="$d/tmp" "${args[@]}") > "$d/out" 2>&1
  got=$?
  [ "$got" = "$want" ] || problem="exit $got, expected $want"
  IFS='|' read -r -a list <<< "${texts//@D/$d}"
  for text in "${list[@]}"; do
    if [ "${text#!}" != "$text" ]; then
      grep -qF -- "${text#!}" "$d/out" && problem="${problem:+$problem; }says '${text#!}'"
    else
      grep -qF -- "$text" "$d/out" || problem="${problem:+$problem; }does not say '$text'"
    fi
  done
  grep -q WARNING "$d/out" && problem="${problem:+$problem; }printed a warning"
  [ -z "$post" ] || (eval "$post") || problem="${problem:+$problem; }fails: $post"
  if [ -n "$problem" ]; then
    failed=$((failed + 1))
    echo "FAIL $name: $problem"
    sed 's/^/    /' "$d/out"
  else
    passed=$((passed + 1))
    echo "ok   $name"
  fi
}

rows='returning 1 from getnumrows in dbiface'
t "unsupported arch: names the platform and the ones carried" 1 \
  "for linux-sparcv9 (os.name=Linux, os.arch=sparcv9)|this jar carries only $carried|$meta/linux-sparcv9/$lib (not in the jar)" '' \
  -Dos.arch=sparcv9 -jar "$jar" @D/t.txt count --trace
t "unsupported OS and arch" 1 "for windows-riscv64 (os.name=Windows 11, os.arch=riscv64)|only $carried" '' \
  "-Dos.name=Windows 11" -Dos.arch=riscv64 -jar "$jar" @D/t.txt count --trace
# What each os.arch maps to: the jar's copy for that platform is the one extracted (and, on
# this machine, refused by the JVM as another architecture's); a jar without it (the host
# build's) names that platform as the one it lacks.
for arch in arm:armv7 armv7l:armv7 armhf:armv7 ppc64le:ppc64le s390x:s390x riscv64:riscv64 aarch64:aarch64; do
  plat=linux-${arch#*:}
  case ", $carried, " in
    *", $plat, "*)
      t "os.arch=${arch%%:*} loads the jar's $plat" 1 \
        "$meta/$plat/$lib extracted to|!not in the jar|!this jar carries only" '' \
        -Dos.arch="${arch%%:*}" -jar "$jar" @D/t.txt count --trace ;;
    *)
      t "os.arch=${arch%%:*} names $plat, which this jar lacks" 1 \
        "for $plat (os.name=Linux, os.arch=${arch%%:*})|$meta/$plat/$lib (not in the jar)" '' \
        -Dos.arch="${arch%%:*}" -jar "$jar" @D/t.txt count --trace ;;
  esac
done
t "big-endian ppc64 is not ppc64le" 1 "for linux-ppc64 (os.name=Linux, os.arch=ppc64)|this jar carries only $carried" '' \
  -Dos.arch=ppc64 -jar "$jar" @D/t.txt count --trace
t "java.library.path copy of another version is refused, not run" 1 \
  "$stale/$lib is version 0.9.0, but gameserver.DBIface is version $version|!$rows" '' \
  -Djava.library.path="$stale" -jar "$jar" @D/t.txt count --trace
t "property naming another version is refused" 1 \
  "$stale/$lib is version 0.9.0, but gameserver.DBIface is version $version" '' \
  -Dgameserver.dbiface.library.path="$stale/$lib" -jar "$jar" @D/t.txt count --trace
t "java -jar from an empty directory" 0 "$rows" '[ -z "$(find "$d/cwd" "$d/tmp" -mindepth 1)" ]' \
  -jar "$jar" @D/t.txt count --trace
t "gameserver.dbiface.tmpdir: created owner-only, used, left empty" 0 "$rows" \
  '[ "$(stat -c %a "$d/own/sub")" = 700 ] && [ -z "$(find "$d/own/sub" "$d/tmp" -mindepth 1)" ]' \
  -Dgameserver.dbiface.tmpdir=@D/own/sub -jar "$jar" @D/t.txt count --trace
t "gameserver.dbiface.tmpdir unusable: named in the error, no other directory tried" 1 \
  "extracted to @D/t.txt/sub|!extracted to @D/tmp" '' \
  -Dgameserver.dbiface.tmpdir=@D/t.txt/sub -jar "$jar" @D/t.txt count --trace
mkdir "$scratch/open" && chmod 777 "$scratch/open"
t "extraction directory writable by others, not sticky: refused, named" 1 \
  "extracted to $scratch/open ($scratch/open is writable by other users and not sticky)|!$rows" \
  '[ -z "$(find "$scratch/open" -mindepth 1)" ]' \
  -Dgameserver.dbiface.tmpdir="$scratch/open" -jar "$jar" @D/t.txt count --trace
mkdir "$scratch/left"
touch -d '1 hour ago' "$scratch/left/${lib%.so}-0123456789abcdef-1.so" "$scratch/left/${lib%.so}-x-2.so" \
  "$scratch/left/other.so"
touch "$scratch/left/${lib%.so}-fedcba9876543210-3.so"
t "copies older runs left are deleted; a young one, maybe loading elsewhere, stays" 0 "$rows" \
  '[ "$(ls "$scratch/left" | tr "\n" " ")" = "${lib%.so}-fedcba9876543210-3.so other.so " ]' \
  -Dgameserver.dbiface.tmpdir="$scratch/left" -jar "$jar" @D/t.txt count --trace
t "module path with --enable-native-access=gameserver.dbiface" 0 "$rows" '' \
  --enable-native-access=gameserver.dbiface --module-path "$jar" -m gameserver.dbiface/gameserver.Cli @D/t.txt count --trace

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
