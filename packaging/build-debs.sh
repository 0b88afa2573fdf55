#!/bin/bash
# Builds evsnap's Debian packages into build/packages/ with debian/ (dh and
# dpkg-buildpackage, cross-built with -a), one for each glibc build of
# targets.txt: evsnap_VERSION_ARCH.deb, ARCH its Debian architecture.
# Each is built in a copy of the tree, build/debian/ARCH/evsnap/, where
# dpkg-buildpackage writes beside it. With --check the package's build runs
# that build's whole suite on the binary it packs, warnings as errors (the
# nocheck profile otherwise).
# usage: build-debs.sh [--check] [ARCH...]   (default: every glibc build's)
set -euo pipefail
cd "$(dirname "$0")/.."
. cmake/targets.sh
. packaging/private-apt.sh
profiles=nocheck
export DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
if [ "${1:-}" = --check ]; then
    shift
    profiles=
    export EVSNAP_WERROR=1
    DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS#nocheck }
fi
rm -f build/release-commit # build/packages/ is no longer build-release.sh's alone
archs=("$@")
if ((${#archs[@]} == 0)); then
    for build in $(targets libc glibc); do archs+=("$(target "$build" debian)"); done
fi
mkdir -p build/packages
for arch in "${archs[@]}"; do
    [ -n "$(package_build "$arch")" ] || { echo "no glibc build for $arch in targets.txt" >&2; exit 2; }
    out=$PWD/build/debian/$arch
    rm -rf "$out" build/packages/evsnap_*_"$arch".deb
    mkdir -p "$out/evsnap"
    # What git tracks, and what is new and not ignored: the tree as it is.
    git ls-files -z -c -o --exclude-standard | tar --null -T - -c | tar -x -C "$out/evsnap"
    # Debian's cross build: -a and the cross profile.
    options=(-P"$profiles")
    [ "$arch" = "$(dpkg --print-architecture)" ] || options=(-a "$arch" -P"${profiles:+$profiles,}cross")
    # dh_shlibdeps reads the Depends on libc6 from libc6:ARCH's symbols.
    # Where this machine's release has no such package (Debian 12 has no
    # riscv64), it takes the libc6 of the oldest release the package is for,
    # unpacked with its symbols as if built beside evsnap (EVSNAP_LIBC6,
    # which debian/rules reads).
    unset EVSNAP_LIBC6
    if ! dpkg-query -W -f='${db:Status-Abbrev}' "libc6:$arch" 2>/dev/null | grep -q '^ii' &&
        ! apt-cache show "libc6:$arch" >/dev/null 2>&1; then
        release=$(package_releases "$(package_build "$arch")" | head -n 1)
        apt_for "$release" "$arch" "$out/apt"
        (cd "$out" && "${apt[@]}" -qq download "libc6:$arch")
        dpkg-deb -R "$out"/libc6_*_"$arch".deb "$out/libc6"
        export EVSNAP_LIBC6=$out/libc6
    fi
    (cd "$out/evsnap" && dpkg-buildpackage -b -us -uc "${options[@]}")
    cp "$out"/evsnap_*_"$arch".deb build/packages/
done
ls -l build/packages/*.deb
