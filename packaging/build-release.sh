#!/bin/bash
# Builds every release file into build/packages/: the archive of each build
# of targets.txt with a release name (workflow preset release-NAME), the Debian
# package of each glibc build (build-debs.sh), and SHA256SUMS over them all.
# Built twice from the same commit, every file is the same byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
. cmake/targets.sh
rm -rf build/packages build/release-commit
for build in $(targets archive); do
    cmake --workflow --preset "release-$(target "$build" archive)" --fresh
done
bash packaging/build-debs.sh
cd build/packages
sha256sum -- *.tar.gz *.deb >SHA256SUMS
cat SHA256SUMS
# The commit they were built from, when nothing tracked differs from it: the
# reproducible test takes them as its first build then.
! git diff --quiet HEAD 2>/dev/null || git rev-parse HEAD >../release-commit
