#!/bin/sh
# Checks that a binary loads libc alone (or nothing at all when built static).
# The loader is libc's too: Debian's hardening flags make an ARM binary take
# the stack protector's guard from it (ld-linux*.so, on MIPS ld.so.1).
# usage: libc_only_test.sh BINARY [static]
set -eu
readelf -h "$1" >/dev/null # a binary that cannot be read passes nothing
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if [ "${2:-}" = static ]; then
  readelf -l "$1" | grep -q INTERP && { echo "$1 asks for a dynamic loader"; exit 1; }
  [ -z "$needed" ] || { echo "$1 needs: $needed"; exit 1; }
else
  others=$(echo "$needed" | grep -v -x -e 'libc\.so\.6' -e 'ld-linux.*\.so\.[0-9]*' -e 'ld\.so\.1' || true)
  echo "$needed" | grep -qx 'libc\.so\.6' && [ -z "$others" ] ||
    { echo "$1 needs:" $needed "(want libc.so.6 and its loader alone)"; exit 1; }
fi
echo "$1 needs: ${needed:-nothing}"
