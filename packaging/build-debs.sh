#!/bin/bash
# Builds evsnap's Debian packages for amd64 (this machine) and armhf (the cross
# build) into build/packages/: evsnap_VERSION_amd64.deb, evsnap_VERSION_armhf.deb.
# Compiler and linker flags are Debian's, from dpkg-buildflags: hardening, and
# large-file support (a 64-bit off_t on armhf too).
set -euo pipefail
cd "$(dirname "$0")/.."

# flags NAME DEBIAN_ARCH: Debian's value of a build flag for that machine.
flags() {
    DEB_HOST_ARCH=$2 DEB_BUILD_MAINT_OPTIONS="hardening=+all future=+lfs" \
        dpkg-buildflags --get "$1"
}

# deb PRESET DEBIAN_ARCH: configure afresh (CMake reads CXXFLAGS and LDFLAGS
# then only), build, and package. The preprocessor's flags go with the compiler's.
deb() {
    CXXFLAGS="$(flags CPPFLAGS "$2") $(flags CXXFLAGS "$2")" LDFLAGS=$(flags LDFLAGS "$2") \
        cmake --workflow --preset "$1" --fresh
}

rm -f build/packages/evsnap_*.deb
deb deb-host "$(dpkg-architecture -q DEB_HOST_ARCH)"
deb deb-arm armhf
ls -l build/packages/*.deb
