#!/bin/sh
# Checks a release build's binary against what its boards need: the size of
# the stripped binary, the oldest 32-bit ARM architecture it runs on, the
# alignment of its LOAD segments (a kernel with pages up to that size loads
# it), and no printf inside (every message is formed by evsnap itself).
# usage: binary_limits_test.sh BINARY STRIP [max-bytes=N] [cpu-arch=ARCH] [load-align=N] [no-printf]
set -eu
binary=$1 strip=$2
shift 2
readelf -h "$binary" >/dev/null # a binary that cannot be read passes nothing
. "$(dirname "$0")/../support/lib.sh"
# Stripped as `cmake --install --strip` strips it.
"$strip" --strip-all --remove-section=.comment --remove-section=.note -o "$scratch/evsnap" "$binary"

# ARM architectures in the order of the ELF attribute's values, oldest first.
arm_order="Pre-v4 v4 v4T v5T v5TE v5TEJ v6 v6KZ v6T2 v6K v7 v6-M v6S-M v7E-M v8 v8-R v8-M.baseline v8-M.mainline"
rank() { echo "$arm_order" | tr ' ' '\n' | grep -n -x -F -e "$1" | cut -d: -f1; }

for limit in "$@"; do
  case $limit in
  max-bytes=*)
    size=$(stat -c %s "$scratch/evsnap")
    echo "stripped: $size bytes, at most ${limit#*=}"
    [ "$size" -le "${limit#*=}" ] || fail "stripped binary is $size bytes, more than ${limit#*=}"
    ;;
  cpu-arch=*)
    arch=$(readelf -A "$scratch/evsnap" | sed -n 's/^ *Tag_CPU_arch: *//p')
    echo "Tag_CPU_arch: ${arch:-none}, at most ${limit#*=}"
    if [ -z "$arch" ] || [ -z "$(rank "$arch")" ]; then
      fail "no Tag_CPU_arch that says which ARM the binary needs ('$arch')"
    elif [ "$(rank "$arch")" -gt "$(rank "${limit#*=}")" ]; then
      fail "the binary needs ARM $arch, newer than ${limit#*=}"
    fi
    ;;
  load-align=*)
    aligns=$(readelf -lW "$scratch/evsnap" | awk '$1 == "LOAD" { print $NF }')
    echo "LOAD alignments: $(echo $aligns), at least ${limit#*=}"
    [ -n "$aligns" ] || fail "no LOAD segments"
    for align in $aligns; do
      [ "$((align))" -ge "${limit#*=}" ] || fail "a LOAD segment aligned to $align"
    done
    ;;
  no-printf)
    found=$(readelf -sW "$binary" | awk '{ print $NF }' | grep printf || true)
    [ -z "$found" ] || fail "printf inside: $(echo $found)"
    readelf -sW "$binary" | grep -q -w FUNC || fail "no symbols to look for printf in"
    ;;
  *)
    echo "unknown limit: $limit" >&2
    exit 2
    ;;
  esac
done
finish
