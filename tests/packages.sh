#!/bin/bash
# Checks the Debian packages that packaging/build-debs.sh builds: control
# fields, contents, the binary inside, and the binary as installed; then
# lintian, which must report no errors.
# usage: packages.sh DIR
set -euo pipefail
dir=$1
src=$(cd "$(dirname "$0")/.." && pwd)
version=$(dpkg-parsechangelog -l "$src/packaging/changelog" -S Version)
host_arch=$(dpkg-architecture -q DEB_HOST_ARCH)
host_machine=$(readelf -h /bin/sh | sed -n 's/^ *Machine: *//p')
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

# Every file in a package: mode, owner, path.
want_files="-rw-r--r-- root/root ./usr/share/bash-completion/completions/evsnap
-rw-r--r-- root/root ./usr/share/doc/evsnap/README.md
-rw-r--r-- root/root ./usr/share/doc/evsnap/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/evsnap/copyright
-rw-r--r-- root/root ./usr/share/man/man1/evsnap.1.gz
-rwxr-xr-x root/root ./usr/bin/evsnap"

# Debian architecture|ELF machine|objdump|how to start a binary for it.
while IFS='|' read -r arch machine objdump run; do
    deb=$dir/evsnap_${version}_$arch.deb
    [ -f "$deb" ] || { fail "$deb: no such package"; continue; }
    echo "== $deb ($(stat -c %s "$deb") bytes)"
    dpkg-deb --info "$deb"
    field() { dpkg-deb --field "$deb" "$1"; }
    [ "$(field Package)" = evsnap ] || fail "$deb: Package $(field Package)"
    [ "$(field Version)" = "$version" ] || fail "$deb: Version $(field Version), want $version"
    [ "$(field Architecture)" = "$arch" ] || fail "$deb: Architecture $(field Architecture)"
    depends=$(field Depends)
    [[ $depends =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] || fail "$deb: Depends '$depends'"

    dpkg-deb --contents "$deb"
    files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort)
    [ "$files" = "$(sort <<<"$want_files")" ] || fail "$deb: files differ: $files"

    root=$scratch/$arch
    dpkg-deb -x "$deb" "$root"
    bin=$root/usr/bin/evsnap
    got_machine=$(readelf -h "$bin" | sed -n 's/^ *Machine: *//p')
    [ "$got_machine" = "$machine" ] || fail "$deb: a binary for $got_machine, want $machine"
    ! readelf -S "$bin" | grep -q -E '\.symtab|\.comment' || fail "$deb: binary not stripped"
    # On the host this compares the GLIBC_x.y derivation, which the cross
    # package relies on, with dpkg-shlibdeps.
    derived=$(sh "$src/packaging/libc-depends.sh" "$objdump" "$bin")
    [ "$derived" = "$depends" ] || fail "$deb: Depends '$depends', the binary needs '$derived'"
    # shellcheck disable=SC2086 # $run is a command line
    out=$($run "$bin" --version) || fail "$deb: --version failed"
    [ "$out" = "evsnap $version" ] || fail "$deb: --version printed '$out'"
    zcat "$root/usr/share/man/man1/evsnap.1.gz" | cmp -s - "$src/doc/evsnap.1" ||
        fail "$deb: the man page differs from doc/evsnap.1"
    zcat "$root/usr/share/doc/evsnap/changelog.gz" >"$scratch/changelog"
    changed=$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)
    [ "$changed" = "$version" ] || fail "$deb: changelog's last entry is $changed"
done <<EOF
$host_arch|$host_machine|objdump|env
armhf|ARM|arm-linux-gnueabihf-objdump|qemu-arm -L /usr/arm-linux-gnueabihf
EOF

# Errors fail; warnings and notes are shown.
lintian --fail-on error --info --display-info --pedantic "$dir/evsnap_${version}_$host_arch.deb" \
    "$dir/evsnap_${version}_armhf.deb" || fail "lintian reports errors"

exit $failed
