#!/bin/bash
# Builds every release file into build/packages/: the source archive
# evsnap-VERSION.tar.gz, the archive for boards of each build of targets.txt
# with an archive name (workflow preset release-NAME, then its install tree
# packed), the Debian package of each glibc build (build-debs.sh), and
# SHA256SUMS over them all. Built twice from the same commit, every file is
# the same byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
. cmake/targets.sh
rm -rf build/packages build/release-commit build/archives
mkdir -p build/packages
version=$(dpkg-parsechangelog -S Version)
# Every file is dated as the changelog's last entry, as dpkg-buildpackage
# dates a package's.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -S Timestamp)
export SOURCE_DATE_EPOCH

# pack DIR NAME FILE: DIR/NAME as a reproducible .tar.gz: names sorted, owned
# by 0:0, dated SOURCE_DATE_EPOCH, modes that no umask changed, gzip with no
# name or time.
pack() {
    LC_ALL=C tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
        --mode=go-w,a+rX --format=gnu -C "$1" -c "$2" | gzip -9n >"$3"
}

# The source as git has it at HEAD.
git archive --format=tar --prefix="evsnap-$version/" HEAD | gzip -9n >"build/packages/evsnap-$version.tar.gz"
# An archive for boards: the install tree of the build, top folder
# evsnap-VERSION-linux-MACHINE-static (MACHINE as `uname -m` names the family),
# its SHA-256 beside it.
for build in $(targets archive); do
    cmake --workflow --preset "release-$(target "$build" archive)" --fresh
    name=evsnap-$version-linux-$(target "$build" archive)-static
    DESTDIR=$PWD/build/archives cmake --install "build/$build" --strip --prefix "/$name"
    pack build/archives "$name" "build/packages/$name.tar.gz"
    (cd build/packages && sha256sum "$name.tar.gz" >"$name.tar.gz.sha256")
done
bash packaging/build-debs.sh
cd build/packages
sha256sum -- *.tar.gz *.deb >SHA256SUMS
cat SHA256SUMS
# The commit they were built from, when nothing tracked differs from it: the
# reproducible test takes them as its first build then.
! git diff --quiet HEAD 2>/dev/null || git rev-parse HEAD >../release-commit
