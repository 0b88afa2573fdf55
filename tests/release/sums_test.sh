#!/bin/bash
# Checks SHA256SUMS in a folder of release files: every release file the
# presets name is there and listed, nothing else is listed, and every sum holds.
# usage: sums_test.sh DIR
set -euo pipefail
dir=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
. "$src/tests/support/lib.sh"
version=$(sed -n '1s/^[a-z]* (\([^)]*\)).*/\1/p' "$src/packaging/changelog")

presets=$(cd "$src" && cmake --list-presets=workflow | sed -n 's/^ *"\([^"]*\)".*/\1/p')
want=$( (
    for machine in $(echo "$presets" | sed -n 's/^release-//p'); do
        echo "evsnap-$version-linux-$machine-static.tar.gz"
    done
    for arch in $(echo "$presets" | sed -n 's/^deb-//p'); do
        echo "evsnap_${version}_$arch.deb"
    done
) | sort)
listed=$(sed 's/^[0-9a-f]\{64\}  //' "$dir/SHA256SUMS" | sort)
present=$(cd "$dir" && ls -- *.tar.gz *.deb 2>/dev/null | sort)
echo "release files: $(echo $want)"
[ "$listed" = "$want" ] || fail "SHA256SUMS lists: $(echo $listed)"
[ "$present" = "$want" ] || fail "the folder holds: $(echo $present)"
(cd "$dir" && sha256sum --check --strict SHA256SUMS) || fail "a sum does not hold"
finish
