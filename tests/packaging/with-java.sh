#!/bin/sh
# with-java.sh JAVA ARGS...      runs JAVA ARGS...
# with-java.sh JAVA -- CMD...    runs CMD... (a wrapper that starts JAVA itself)
# Either way exits 77 (ctest: skipped) when JAVA is not installed on this machine.
if [ ! -x "$1" ]; then
  echo "SKIP: $1 is not installed"
  exit 77
fi
if [ "${2-}" = "--" ]; then
  shift 2
fi
exec "$@"
