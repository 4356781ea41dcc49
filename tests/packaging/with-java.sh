#!/bin/sh
# with-java.sh JAVA ARGS...: runs JAVA ARGS..., or exits 77 (ctest: skipped) when that JDK
# is not installed on this machine.
if [ ! -x "$1" ]; then
  echo "SKIP: $1 is not installed"
  exit 77
fi
exec "$@"
