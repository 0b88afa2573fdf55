#!/bin/bash
# Checks a release archive for boards: its SHA-256 sum, its files, and the
# binary inside: static, for the machine its name gives, stripped, and running
# there: under qemu-user as the oldest CPU QEMU has of that family (x86-64's
# baseline, qemu64, for x86_64), its version and a capture.
# usage: archive_test.sh DIR/evsnap-VERSION-linux-MACHINE-static.tar.gz
set -euo pipefail
archive=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
name=$(basename "$archive" .tar.gz)
version=${name#evsnap-}
version=${version%%-*}
machine=${name#evsnap-"$version"-linux-}
machine=${machine%-static}
. "$(dirname "$0")/../support/lib.sh"

echo "== $archive ($(stat -c %s "$archive") bytes)"
(cd "$(dirname "$archive")" && sha256sum --check "$name.tar.gz.sha256") ||
    fail "the SHA-256 sum beside the archive does not match it"

# Every file: mode, path. Unpacked into /usr/local with --strip-components=1.
want_files="-rwxr-xr-x $name/bin/evsnap
-rw-r--r-- $name/share/bash-completion/completions/evsnap
-rw-r--r-- $name/share/doc/evsnap/LICENSE
-rw-r--r-- $name/share/doc/evsnap/README.md
-rw-r--r-- $name/share/man/man1/evsnap.1"
tar -tzvf "$archive"
files=$(tar -tzvf "$archive" | awk '$1 !~ /^d/ { print $1, $6 }' | sort)
[ "$files" = "$(sort <<<"$want_files")" ] || fail "files differ: $files"

tar -xzf "$archive" -C "$scratch"
root=$scratch/$name
bin=$root/bin/evsnap
# uname -m's name of the family: ELF's name for it, and how to run it here.
case $machine in
arm) elf=ARM run="env QEMU_CPU=arm926 qemu-arm" ;;
aarch64) elf=AArch64 run="env QEMU_CPU=cortex-a53 qemu-aarch64" ;;
x86_64) elf="Advanced Micro Devices X86-64" run="env QEMU_CPU=qemu64 qemu-x86_64" ;;
*) elf="?" run=false ;;
esac
got=$(readelf -h "$bin" | sed -n 's/^ *Machine: *//p')
[ "$got" = "$elf" ] || fail "a binary for $got, want $elf ($machine)"
sh "$src/tests/release/libc_only_test.sh" "$bin" static || fail "the binary is not static"
! readelf -S "$bin" | grep -q -E '\.symtab|\.comment' || fail "the binary is not stripped"
out=$($run "$bin" --version) || fail "--version failed"
[ "$out" = "evsnap $version" ] || fail "--version printed '$out'"
# A capture there: a key press in the record layout the binary itself reports.
gone=$($run "$bin" "$scratch/missing" 2>&1 || true)
if [[ $gone == "error reading "*" out of "*" bytes." ]]; then
    key_press "$gone" 30 >"$scratch/press"
    out=$($run "$bin" "$scratch/press") || fail "a capture failed: $out"
    [ "$out" = 0x8001001e ] || fail "a KEY_A press printed '$out'"
else
    fail "a missing device gave '$gone'"
fi
for pair in doc/evsnap.1:share/man/man1/evsnap.1 completions/evsnap:share/bash-completion/completions/evsnap \
    README.md:share/doc/evsnap/README.md LICENSE:share/doc/evsnap/LICENSE; do
    cmp -s "$src/${pair%%:*}" "$root/${pair#*:}" || fail "${pair#*:} differs from ${pair%%:*}"
done
finish
