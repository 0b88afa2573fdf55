#!/bin/sh
# Prints the Depends on libc6 that a binary needs: the newest GLIBC_x.y version
# it requires. For cross builds, where dpkg-shlibdeps only finds the cross libc's
# shlibs file (an arch-qualified libc6:ARCH pinned to that libc's own version).
# usage: libc-depends.sh OBJDUMP BINARY
set -eu
headers=$("$1" -p "$2")
# A binary that loads more than libc needs more than this Depends. The loader,
# part of libc6, is ld-linux*.so or, on MIPS, ld.so.1.
others=$(echo "$headers" | sed -n 's/^ *NEEDED *//p' | grep -v -x -e 'libc\.so\.6' -e 'ld-linux.*' -e 'ld\.so\.1' || true)
if [ -n "$others" ]; then
    echo "$2 needs more than libc: $others" >&2
    exit 1
fi
# The versions the loader checks, from "Version References"; the ELF-packed
# relocations marker came with glibc 2.36.
version=$(echo "$headers" | sed -n '/^Version References:/,/^$/p' |
    sed -n 's/.* GLIBC_\([0-9][0-9.]*\)$/\1/p; s/.* GLIBC_ABI_DT_RELR$/2.36/p' |
    sort -V | tail -n 1)
if [ -z "$version" ]; then
    echo "$2 requires no GLIBC version" >&2
    exit 1
fi
echo "libc6 (>= $version)"
