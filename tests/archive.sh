#!/bin/bash
# Checks the release archive for ARM boards: its SHA-256 sum, its files, and
# the binary inside: static, for 32-bit ARM, stripped, and running under qemu-arm.
# usage: archive.sh DIR/evsnap-VERSION-linux-armhf-static.tar.gz
set -euo pipefail
archive=$1
src=$(cd "$(dirname "$0")/.." && pwd)
name=$(basename "$archive" .tar.gz)
version=${name#evsnap-}
version=${version%%-*}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

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
machine=$(readelf -h "$bin" | sed -n 's/^ *Machine: *//p')
[ "$machine" = ARM ] || fail "a binary for $machine, want ARM"
sh "$src/tests/needs_libc_only.sh" "$bin" static || fail "the binary is not static"
! readelf -S "$bin" | grep -q -E '\.symtab|\.comment' || fail "the binary is not stripped"
out=$(qemu-arm "$bin" --version) || fail "--version failed"
[ "$out" = "evsnap $version" ] || fail "--version printed '$out'"
for pair in doc/evsnap.1:share/man/man1/evsnap.1 completions/evsnap:share/bash-completion/completions/evsnap \
    README.md:share/doc/evsnap/README.md LICENSE:share/doc/evsnap/LICENSE; do
    cmp -s "$src/${pair%%:*}" "$root/${pair#*:}" || fail "${pair#*:} differs from ${pair%%:*}"
done
exit $failed
