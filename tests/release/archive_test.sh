#!/bin/bash
# Checks a release archive for boards: its SHA-256 sum, its files, and the
# binary inside: static, for the machine its name gives, stripped, and running
# there: under qemu-user as the oldest CPU of its build in targets.txt, its
# version and a capture.
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
-rw-r--r-- $name/share/doc/evsnap/boards.md
-rw-r--r-- $name/share/doc/evsnap/openwrt.md
-rw-r--r-- $name/share/man/man1/evsnap.1"
tar -tzvf "$archive"
files=$(tar -tzvf "$archive" | awk '$1 !~ /^d/ { print $1, $6 }' | sort)
[ "$files" = "$(sort <<<"$want_files")" ] || fail "files differ: $files"

tar -xzf "$archive" -C "$scratch"
root=$scratch/$name
bin=$root/bin/evsnap
# The build of targets.txt with this archive name: its machine as ELF names
# it (that of its C library's own binaries), its byte order, and how to run it
# here: under its emulator as its oldest CPU.
. "$src/cmake/targets.sh"
build=$(target_of archive "$machine")
[ -n "$build" ] || { echo "no build in targets.txt makes $archive" >&2; exit 2; }
triplet=$(target "$build" triplet)
if [ "$(target "$build" debian)" = "$(dpkg --print-architecture)" ]; then
    elf=$(readelf -h /bin/sh | sed -n 's/^ *Machine: *//p')
else
    elf=$(readelf -h "/usr/$triplet/lib/libc.so.6" | sed -n 's/^ *Machine: *//p')
fi
cpus=($(target "$build" cpus))
run="$(target "$build" emulator) -cpu ${cpus[0]}"
got=$(readelf -h "$bin" | sed -n 's/^ *Machine: *//p')
[ "$got" = "$elf" ] || fail "a binary for $got, want $elf ($machine)"
sh "$src/tests/release/libc_only_test.sh" "$bin" static || fail "the binary is not static"
! readelf -S "$bin" | grep -q -E '\.symtab|\.comment' || fail "the binary is not stripped"
out=$($run "$bin" --version) || fail "--version failed"
[ "$out" = "evsnap $version" ] || fail "--version printed '$out'"
# A capture there: a key press in the record layout the binary itself reports.
gone=$($run "$bin" "$scratch/missing" 2>&1 || true)
if [[ $gone == "error reading "*" out of "*" bytes." ]]; then
    key_press "$gone" 30 "$(target "$build" endian)" >"$scratch/press"
    out=$($run "$bin" "$scratch/press") || fail "a capture failed: $out"
    [ "$out" = 0x8001001e ] || fail "a KEY_A press printed '$out'"
else
    fail "a missing device gave '$gone'"
fi
sed "s/@PROJECT_VERSION@/$version/g" "$src/doc/evsnap.1.in" | cmp -s - "$root/share/man/man1/evsnap.1" ||
    fail "the man page differs from doc/evsnap.1.in of version $version"
for pair in completions/evsnap:share/bash-completion/completions/evsnap \
    README.md:share/doc/evsnap/README.md LICENSE:share/doc/evsnap/LICENSE \
    doc/boards.md:share/doc/evsnap/boards.md doc/openwrt.md:share/doc/evsnap/openwrt.md; do
    cmp -s "$src/${pair%%:*}" "$root/${pair#*:}" || fail "${pair#*:} differs from ${pair%%:*}"
done
finish
