#!/bin/bash
# Runs the built evsnap under valgrind's memcheck as a user would: each run
# must end with its usual status, no memory error and no heap block left at
# exit, not even a reachable one (evsnap allocates nothing of its own; what
# the C library's parser may take for its messages must be given back).
# usage: memcheck_test.sh BINARY
set -euo pipefail
binary=$(realpath "$1")
. "$(dirname "$0")/../support/lib.sh"
version=$(sed -n '1s/^\([a-z]*\) (\([^)]*\)).*/\1 \2/p' "$(dirname "$0")/../../debian/changelog")
cd "$scratch"

# Records as the binary reads them: its message about a missing device gives
# their length, its ELF header their byte order.
says=$("$binary" missing 2>&1 || true)
endian=$(readelf -h "$binary" | sed -n 's/^ *Data:.* \(little\|big\) endian$/\1/p')
record "$says" 1 30 1 "$endian" >press
record "$says" 1 30 0 "$endian" >release
# A press in the other byte order reads as type 0x0100, code 0x1e00.
record "$says" 1 30 1 "$([ "$endian" = big ] && echo little || echo big)" >swapped
head -c 10 press >short
mkfifo fifo
exec 3<>fifo # held open, so that evsnap's open does not block

to=out # where standard output goes; a case may say /dev/full
# check NAME STATUS STDOUT ARG...: one run under memcheck.
check() {
  local name=$1 want=$2 want_out=$3 status=0
  shift 3
  { valgrind --log-file=log --error-exitcode=99 --leak-check=full \
      --show-leak-kinds=all --errors-for-leak-kinds=all \
      "$binary" "$@" >"$to"; } 2>/dev/null || status=$?
  if [ "$status" != "$want" ] || ! grep -q 'in use at exit: 0 bytes in 0 blocks' log ||
    { [ "$to" = out ] && [ "$(cat out)" != "$want_out" ]; }; then
    fail "$name: status $status, want $want; standard output:"
    cat out log
  else
    echo "ok   $name: status $status, $(grep -o '[0-9,]* allocs, [0-9,]* frees' log)"
  fi
}

check "key record" 0 0x8001001e press
check "record of value 0" 0 "" release
check "record in the other byte order" 0 0x01001e00 swapped
check "short file" 1 "" short
check "missing device" 1 "" missing
check "two operands" 1 "" press press
check "--help" 0 "$("$binary" --help)" --help # as without valgrind
check "--version" 0 "$version" --version
check "rejected option" 1 "" --bogus
check "option without its value" 1 "" press -t
to=/dev/full check "full standard output" 1 "" press
check "no record: the alarm" 142 "" -t 1 fifo
finish
