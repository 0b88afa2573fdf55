#!/bin/bash
# Runs packaging/libc-depends.sh on canned objdump -p output: the newest GLIBC
# version wins (2.34 over 2.4), and anything but libc makes it fail.
# usage: libc_depends_test.sh LIBC_DEPENDS_SCRIPT
set -u
script=$1
. "$(dirname "$0")/../support/lib.sh"
# Stands in for objdump: "-p FILE" prints FILE.
printf '#!/bin/sh\ncat "$2"\n' >"$scratch/objdump"
chmod +x "$scratch/objdump"

# check WANT NEEDED VERSIONS: WANT is the output, or "fail".
check() {
    local want=$1 needed=$2 versions=$3 got lib ver
    {
        echo "Dynamic Section:"
        for lib in $needed; do echo "  NEEDED               $lib"; done
        echo "  INIT                 0x0000000000001000"
        echo
        echo "Version References:"
        echo "  required from libc.so.6:"
        for ver in $versions; do echo "    0x0d696914 0x00 03 $ver"; done
        echo
    } >"$scratch/headers"
    got=$(sh "$script" "$scratch/objdump" "$scratch/headers" 2>/dev/null) || got=fail
    if [ "$got" != "$want" ]; then
        fail "NEEDED '$needed', versions '$versions': got '$got', want '$want'"
    fi
}

check 'libc6 (>= 2.34)' libc.so.6 'GLIBC_2.4 GLIBC_2.34'
check 'libc6 (>= 2.34)' libc.so.6 'GLIBC_2.34 GLIBC_2.4'
check 'libc6 (>= 2.34)' libc.so.6 'GLIBC_2.3.4 GLIBC_2.34 GLIBC_2.2.5'
check 'libc6 (>= 2.3.4)' libc.so.6 'GLIBC_2.2.5 GLIBC_2.3.4 GLIBC_2.3'
check 'libc6 (>= 2.4)' libc.so.6 'GLIBC_2.4'
check 'libc6 (>= 2.36)' libc.so.6 'GLIBC_2.34 GLIBC_ABI_DT_RELR'
check 'libc6 (>= 2.38)' 'ld-linux-armhf.so.3 libc.so.6' 'GLIBC_2.38 GLIBC_ABI_DT_RELR'
check 'libc6 (>= 2.34)' 'libc.so.6 ld.so.1' 'GLIBC_2.2 GLIBC_2.34'
check fail 'libc.so.6 libstdc++.so.6' 'GLIBC_2.34'
check fail 'libm.so.6 libc.so.6' 'GLIBC_2.34'
check fail '' ''
finish
