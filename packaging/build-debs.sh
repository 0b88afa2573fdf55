#!/bin/bash
# Builds evsnap's Debian packages into build/packages/, one for each glibc
# build of targets.txt (workflow preset deb-ARCH, ARCH its Debian
# architecture): evsnap_VERSION_ARCH.deb.
# Compiler and linker flags are Debian's, from dpkg-buildflags: hardening, and
# large-file support (a 64-bit off_t on 32-bit machines too).
# usage: build-debs.sh [ARCH...]   (default: every deb-ARCH preset)
set -euo pipefail
cd "$(dirname "$0")/.."
. cmake/targets.sh

# flags NAME DEBIAN_ARCH: Debian's value of a build flag for that machine.
flags() {
    DEB_HOST_ARCH=$2 DEB_BUILD_MAINT_OPTIONS="hardening=+all future=+lfs" \
        dpkg-buildflags --get "$1"
}

rm -f build/release-commit # build/packages/ is no longer build-release.sh's alone
archs=("$@")
if ((${#archs[@]} == 0)); then
    for build in $(targets libc glibc); do archs+=("$(target "$build" debian)"); done
fi
for arch in "${archs[@]}"; do
    rm -f build/packages/evsnap_*_"$arch".deb
    # Configured afresh: CMake reads CXXFLAGS and LDFLAGS then only. The
    # preprocessor's flags go with the compiler's.
    CXXFLAGS="$(flags CPPFLAGS "$arch") $(flags CXXFLAGS "$arch")" LDFLAGS=$(flags LDFLAGS "$arch") \
        cmake --workflow --preset "deb-$arch" --fresh
done
ls -l build/packages/*.deb
