#!/bin/bash
# Builds every release file into build/packages/: the archive of each
# release-MACHINE workflow preset, the Debian package of each deb-ARCH one,
# and SHA256SUMS over them all, which `sha256sum -c SHA256SUMS` checks there.
# Built twice from the same commit, every file is the same byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
rm -rf build/packages
for preset in $(cmake --list-presets=workflow | sed -n 's/^ *"\(release-[^"]*\)".*/\1/p'); do
    cmake --workflow --preset "$preset" --fresh
done
bash packaging/build-debs.sh
cd build/packages
sha256sum -- *.tar.gz *.deb >SHA256SUMS
cat SHA256SUMS
