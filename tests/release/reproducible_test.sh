#!/bin/bash
# Builds every release file twice from the committed HEAD, in different
# folders and at different times: first as root with umask 022 in UTC, then
# from another clone as another user with umask 077 in another time zone.
# Every file must be the same, byte for byte; where one is not, diffoscope
# shows where. The first build is the one build/packages/ holds when
# packaging/build-release.sh made it from HEAD with nothing changed (the
# release suite's, before this one), and no file changed since.
# usage: reproducible_test.sh [USER]   as root; USER (made if missing) builds the second
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
. "$src/tests/support/lib.sh"
user=${1:-evsnap-build}
if ! git -C "$src" rev-parse --verify -q HEAD >/dev/null; then
    echo "reproducible: $src is no git clone with a commit to build"
    exit 77
fi
id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /bin/sh "$user"
chmod 755 "$scratch"
first=$scratch/a/evsnap
second=$scratch/another-folder/clone
# build/packages/ as build-release.sh left it from HEAD: no file changed since.
if [ "$(cat "$src/build/release-commit" 2>/dev/null)" = "$(git -C "$src" rev-parse HEAD)" ] &&
    (cd "$src/build/packages" && sha256sum --quiet -c SHA256SUMS) >/dev/null 2>&1; then
    first=$src
else
    git clone -q "$src" "$first"
fi
git clone -q "$src" "$second"
chown -R "$user" "$scratch/another-folder"

# build NAME [runuser -u USER --]: one build, its log kept.
build() {
    local name=$1
    shift
    echo "== $name build: $* umask $umask TZ=$tz"
    if ! "$@" env -i PATH="$PATH" HOME="$scratch" TZ="$tz" bash -c \
        'umask "$1" && cd "$2" && bash packaging/build-release.sh' sh "$umask" "$dir" \
        >"$scratch/$name.log" 2>&1; then
        tail -n 40 "$scratch/$name.log"
        fail "the $name build failed"
        finish
    fi
}
if [ "$first" = "$src" ]; then
    echo "== first build: $src/build/packages/, built from HEAD"
else
    umask=022 tz=UTC0 dir=$first build first
fi
umask=077 tz=NZST-12NZDT dir=$second build second runuser -u "$user" --

release_files() { (cd "$1/build/packages" && ls -- *.tar.gz *.sha256 *.deb SHA256SUMS); }
for file in $(release_files "$first"); do
    file=$first/build/packages/$file
    name=${file##*/}
    other=$second/build/packages/$name
    if [ ! -f "$other" ]; then
        fail "$name: only the first build made it"
    elif cmp -s "$file" "$other"; then
        echo "same: $name"
    else
        fail "$name differs between the builds:"
        diffoscope --no-progress "$file" "$other" | head -n 80 || true
    fi
done
[ "$(release_files "$second")" = "$(release_files "$first")" ] || fail "the builds made different files"
finish
