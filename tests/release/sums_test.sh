#!/bin/bash
# Checks SHA256SUMS in a folder of release files: every release file the
# table of builds makes is there and listed, and the source archive; nothing
# else is listed, and every sum holds.
# Then the README's checks of a download, each as written, in a folder that
# holds only the files it names (a .sha256 names its archive too), with GNU's
# sha256sum and among busybox's tools: each passes, and fails on a damaged file.
# usage: sums_test.sh DIR
set -euo pipefail
dir=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
. "$src/tests/support/lib.sh"
version=$(sed -n '1s/^[a-z]* (\([^)]*\)).*/\1/p' "$src/debian/changelog")

. "$src/cmake/targets.sh"
want=$( (
    echo "evsnap-$version.tar.gz"
    for build in $(targets archive); do
        echo "evsnap-$version-linux-$(target "$build" archive)-static.tar.gz"
    done
    for build in $(targets libc glibc); do
        echo "evsnap_${version}_$(target "$build" debian).deb"
    done
) | sort)
listed=$(sed 's/^[0-9a-f]\{64\}  //' "$dir/SHA256SUMS" | sort)
present=$(cd "$dir" && ls -- *.tar.gz *.deb 2>/dev/null | sort)
echo "release files: $(echo $want)"
[ "$listed" = "$want" ] || fail "SHA256SUMS lists: $(echo $listed)"
[ "$present" = "$want" ] || fail "the folder holds: $(echo $present)"
(cd "$dir" && sha256sum --check --strict SHA256SUMS) || fail "a sum does not hold"

command -v busybox >/dev/null || { echo "FAIL: needs busybox (apt-get install busybox)"; exit 1; }
mkdir "$scratch/busybox"
busybox --install -s "$scratch/busybox"
checks=$(awk '/^```sh$/ { inside = 1; next } /^```$/ { inside = 0 } inside && /sha256sum/' "$src/README.md")
[ -n "$checks" ] || fail "README.md: no check with sha256sum"
while read -r check; do
    rm -rf "$scratch/download" && mkdir "$scratch/download"
    for file in $(grep -oE '(evsnap[-_][^ ]*|SHA256SUMS)' <<<"$check"); do
        cp "$dir/$file" "$scratch/download/" || fail "README.md: '$check' names $file, no release file"
        [[ $file != *.sha256 ]] || cp "$dir/${file%.sha256}" "$scratch/download/"
    done
    checked=$(cd "$scratch/download" && find . -name '*.tar.gz' -o -name '*.deb')
    checked=${checked#./}
    [ -n "$checked" ] || { fail "README.md: '$check' checks no release file"; continue; }
    for tools in GNU busybox; do
        path=$PATH
        [ "$tools" = GNU ] || path=$scratch/busybox
        (cd "$scratch/download" && PATH=$path sh -c "$check") >/dev/null 2>&1 ||
            fail "README.md: '$check' fails with $tools's sha256sum"
        cp "$scratch/download/$checked" "$scratch/kept"
        echo damage >>"$scratch/download/$checked"
        ! (cd "$scratch/download" && PATH=$path sh -c "$check") >/dev/null 2>&1 ||
            fail "README.md: '$check' passes a damaged $checked with $tools's sha256sum"
        mv "$scratch/kept" "$scratch/download/$checked"
    done
done <<<"$checks"
echo "checks of a download: $(wc -l <<<"$checks")"
finish
