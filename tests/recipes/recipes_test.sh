#!/bin/bash
# Checks the Buildroot package (packaging/buildroot) and the Yocto layer
# (packaging/meta-evsnap) with those build systems' own tools, from the trees
# tests/recipes/upstream.txt lists: Buildroot's check-package, the package
# offered or not for each toolchain, its show-info, the licence hash; the
# recipe as bitbake reads it. Neither can build here (both build their cross
# toolchain from downloaded sources), so then the build their recipes run, as
# distributions run it: a toolchain file for a cross build of targets.txt,
# tests off, prefix /usr, installed under DESTDIR; the files installed, and
# the installed binary under QEMU as the oldest CPU of that build.
# usage: recipes_test.sh BUILD   (a glibc build of targets.txt: armhf-glibc)
# Without the trees in the folder EVSNAP_UPSTREAM names, it says where they
# come from and exits 78: skipped, and no Debian package can mend that.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
. "$src/tests/support/lib.sh"
. "$src/cmake/targets.sh"
version=$(sed -n 's/^project(evsnap VERSION \([^ ]*\).*/\1/p' "$src/CMakeLists.txt")
# Debian's python3 for both tools, not one that a PATH of its own puts first.
mkdir "$scratch/bin"
ln -s /usr/bin/python3 "$scratch/bin/python3"
export PATH=$scratch/bin:$PATH

# The trees, each checked against its sum.
list=$src/tests/recipes/upstream.txt
upstream=${EVSNAP_UPSTREAM:+$(realpath -m "$EVSNAP_UPSTREAM")}
missing=()
declare -A tree
while read -r sum file repository tag; do
    case $sum in '' | '#'*) continue ;; esac
    if [ -z "$upstream" ] || [ ! -f "$upstream/$file" ]; then
        clone=${repository##*/}
        missing+=("git clone -q $repository && git -C $clone archive --prefix=${file%.tar.xz}/ $tag | xz >$file")
        continue
    fi
    [ "$(sha256sum <"$upstream/$file")" = "$sum  -" ] || { echo "FAIL: $upstream/$file is not the one $list names"; exit 1; }
    tar -xJf "$upstream/$file" -C "$scratch"
    tree[${file%%-*}]=$scratch/${file%.tar.xz}
done <"$list"
if ((${#missing[@]})); then
    echo "The trees of these releases are needed in the folder EVSNAP_UPSTREAM names, each made so:"
    printf '  %s\n' "${missing[@]}"
    echo "needs ${#missing[@]} trees of Buildroot and Yocto in EVSNAP_UPSTREAM (${upstream:-unset}): tests/recipes/upstream.txt names them"
    exit 78
fi

# Buildroot: the files as its own checker reads them.
br=${tree[buildroot]}
ext=$src/packaging/buildroot
echo "== Buildroot $(basename "$br"): check-package"
mapfile -t br_files < <(find "$ext" -type f | sort)
report=$(cd "$br" && python3 utils/check-package -b "${br_files[@]}" 2>&1) || true
echo "$report"
[ "$(tail -n 1 <<<"$report")" = "0 warnings generated" ] || fail "check-package warns"

# Offered or not, by toolchain: a defconfig's lines, then y when evsnap is
# selected. The C++ compiler, GCC and kernel headers below the package's
# needs each drop it.
external="BR2_TOOLCHAIN_EXTERNAL=y BR2_TOOLCHAIN_EXTERNAL_CUSTOM=y BR2_TOOLCHAIN_EXTERNAL_CUSTOM_GLIBC=y"
offered=(
    "BR2_TOOLCHAIN_BUILDROOT_CXX=y|y"
    "|n"
    "$external BR2_TOOLCHAIN_EXTERNAL_CXX=y BR2_TOOLCHAIN_EXTERNAL_GCC_8=y BR2_TOOLCHAIN_EXTERNAL_HEADERS_4_16=y|y"
    "$external BR2_TOOLCHAIN_EXTERNAL_CXX=y BR2_TOOLCHAIN_EXTERNAL_GCC_7=y BR2_TOOLCHAIN_EXTERNAL_HEADERS_4_16=y|n"
    "$external BR2_TOOLCHAIN_EXTERNAL_CXX=y BR2_TOOLCHAIN_EXTERNAL_GCC_8=y BR2_TOOLCHAIN_EXTERNAL_HEADERS_4_14=y|n"
)
out=$scratch/buildroot-out
defconfig=$scratch/evsnap_defconfig
for row in "${offered[@]}"; do
    printf '%s\n' BR2_arm=y BR2_cortex_a8=y ${row%|*} BR2_PACKAGE_EVSNAP=y >"$defconfig"
    make -s -C "$br" BR2_EXTERNAL="$ext" O="$out" BR2_DEFCONFIG="$defconfig" defconfig >/dev/null
    got=n
    ! grep -qx BR2_PACKAGE_EVSNAP=y "$out/.config" || got=y
    [ "$got" = "${row#*|}" ] || fail "evsnap selected: $got, want ${row#*|}, with ${row%|*}"
done

# What Buildroot makes of the package, with its internal toolchain (the first row).
printf '%s\n' BR2_arm=y BR2_cortex_a8=y BR2_TOOLCHAIN_BUILDROOT_CXX=y BR2_PACKAGE_EVSNAP=y >"$defconfig"
make -s -C "$br" BR2_EXTERNAL="$ext" O="$out" BR2_DEFCONFIG="$defconfig" defconfig >/dev/null
make -s -C "$br" O="$out" evsnap-show-info >"$scratch/show-info.json"
python3 - "$scratch/show-info.json" "$version" "$src" <<'PYTHON' || fail "evsnap-show-info"
import json, os, sys
info = json.load(open(sys.argv[1]))["evsnap"]
want = {"version": sys.argv[2], "licenses": "MIT", "license_files": ["LICENSE"],
        "type": "target", "install_target": True, "install_staging": False}
bad = [f"{k}: {info.get(k)!r}, want {v!r}" for k, v in want.items() if info.get(k) != v]
# Nothing for the target but the toolchain and the skeleton; host tools as Buildroot chooses.
target = sorted(d for d in info["dependencies"] if not d.startswith("host-"))
if target != ["skeleton", "toolchain"]:
    bad.append(f"dependencies {info['dependencies']}")
uris = info["downloads"][0]["uris"]
if os.path.realpath(uris[0].removeprefix("local+")) != sys.argv[3]:
    bad.append(f"source {uris[0]}, want this tree")
for line in bad:
    print("FAIL: evsnap-show-info:", line)
sys.exit(1 if bad else 0)
PYTHON
# The licence file against the hash file, by Buildroot's own check.
"$br/support/download/check-hash" "$src/LICENSE" LICENSE "$ext/package/evsnap/evsnap.hash" ||
    fail "evsnap.hash does not hold LICENSE's sha256"

# bitbake with OpenEmbedded-Core and the layer: the recipe as bitbake reads it.
# Its sanity check refuses root, and nothing here fetches; it wants an
# en_US.UTF-8 locale, made here from Debian's locales package for bitbake
# alone (LOCPATH, let through its clean environment).
layer=$src/packaging/meta-evsnap
oe=${tree[openembedded]}
echo "== bitbake $(basename "${tree[bitbake]}"), $(basename "$oe"): bitbake -e evsnap"
recipe=$(cd "$layer" && ls recipes-*/evsnap/evsnap_*.bb)
[ "$recipe" = "recipes-support/evsnap/evsnap_$version.bb" ] ||
    fail "the recipe is $recipe, want evsnap_$version.bb: its name gives the version"
mkdir "$scratch/locale"
localedef -i en_US -f UTF-8 "$scratch/locale/en_US.UTF-8"
export LOCPATH=$scratch/locale LANG=en_US.UTF-8 BB_ENV_PASSTHROUGH_ADDITIONS=LOCPATH
mkdir -p "$scratch/oe/conf"
needed=$(grep -v '^#' "$src/tests/recipes/oe-core-needed.txt" | sed 's|$|/|' | paste -sd '|')
cat >"$scratch/oe/conf/bblayers.conf" <<CONF
BBPATH = "\${TOPDIR}"
BBFILES ?= ""
BBLAYERS = "$oe/meta $layer"
CONF
# Any machine of OE-Core's: nothing is built for it.
cat >"$scratch/oe/conf/local.conf" <<CONF
MACHINE = "qemuarm"
INHERIT:remove = "sanity"
BB_NO_NETWORK = "1"
BBMASK = "/meta/(?!$needed)recipes-"
CONF
start=$SECONDS
(cd "$scratch/oe" && PATH=${tree[bitbake]}/bin:$PATH bitbake -e evsnap) >"$scratch/oe/env" 2>&1 ||
    { tail -n 20 "$scratch/oe/env"; fail "bitbake -e evsnap failed"; }
echo "parsed in $((SECONDS - start)) s"
value() { sed -n "s/^$1=\"\(.*\)\"\$/\1/p" "$scratch/oe/env"; }
[ "$(value PV)" = "$version" ] || fail "PV is '$(value PV)', want $version"
[ "$(value LICENSE)" = MIT ] || fail "LICENSE is '$(value LICENSE)'"
[ "$(value S)" = "$src" ] || fail "S is '$(value S)', want this tree"
[[ " $(value EXTRA_OECMAKE) " == *" -DBUILD_TESTING=OFF "* ]] || fail "EXTRA_OECMAKE is '$(value EXTRA_OECMAKE)'"
md5=$(md5sum <"$src/LICENSE")
[ "$(value LIC_FILES_CHKSUM)" = "file://LICENSE;md5=${md5%% *}" ] ||
    fail "LIC_FILES_CHKSUM is '$(value LIC_FILES_CHKSUM)', LICENSE's md5 is ${md5%% *}"

# The build those recipes run, as a distribution runs it: its own toolchain
# file for the cross build, tests off, prefix /usr, then a DESTDIR install.
triplet=$(target "$build" triplet)
echo "== the distributions' build: $build ($triplet), installed under DESTDIR"
cat >"$scratch/toolchain.cmake" <<CMAKE
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $(target "$build" processor))
set(CMAKE_C_COMPILER $triplet-gcc)
set(CMAKE_CXX_COMPILER $triplet-g++)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
CMAKE
cmake -S "$src" -B "$scratch/build" -DCMAKE_TOOLCHAIN_FILE="$scratch/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$scratch/build"
DESTDIR=$scratch/root cmake --build "$scratch/build" --target install >/dev/null
# The plain layout: no initramfs hook, no unit, as neither build installs them.
# Each file in the first of the recipe's packages whose FILES take it, as
# OpenEmbedded splits them; none may be left out of all.
want_files="evsnap /usr/bin/evsnap
evsnap-bash-completion /usr/share/bash-completion/completions/evsnap
evsnap-doc /usr/share/doc/evsnap/LICENSE
evsnap-doc /usr/share/doc/evsnap/README.md
evsnap-doc /usr/share/doc/evsnap/boards.md
evsnap-doc /usr/share/doc/evsnap/openwrt.md
evsnap-doc /usr/share/man/man1/evsnap.1"
files=$(cd "$scratch/root" && find . ! -type d | sed 's/^\.//' | sort |
    python3 -c '
import fnmatch, re, sys
env = dict(re.findall(r"^([A-Z_:a-z0-9${}-]+)=\"(.*)\"$", open(sys.argv[1]).read(), re.M))
for path in sys.stdin.read().split():
    parts = path.split("/")
    heads = ["/".join(parts[:n]) for n in range(2, len(parts) + 1)] # a folder takes what it holds
    taken = [p for p in env["PACKAGES"].split()
             if any(fnmatch.fnmatch(h, g) for g in env.get("FILES:" + p, "").split() for h in heads)]
    print(taken[0] if taken else "(no package)", path)' "$scratch/oe/env")
[ "$(sort <<<"$files")" = "$(sort <<<"$want_files")" ] || fail "installed and packaged: $(paste -sd ',' <<<"$files")"

# The installed binary on the build's oldest CPU: its version, a key press in
# the record layout it reports itself, and no record within its timeout.
bin=$scratch/root/usr/bin/evsnap
cpus=($(target "$build" cpus))
run() { "$(target "$build" emulator)" -cpu "${cpus[0]}" -L "/usr/$triplet" "$bin" "$@"; }
out=$(run --version) || fail "--version failed"
[ "$out" = "evsnap $version" ] || fail "--version printed '$out', want evsnap $version"
gone=$(run "$scratch/missing" 2>&1 || :)
key_press "$gone" 28 "$(target "$build" endian)" >"$scratch/press"
out=$(run "$scratch/press") || fail "a capture failed"
[ "$out" = 0x8001001c ] || fail "a KEY_ENTER press printed '$out'"
status=0
{ sleep 3 | run -t 1 /dev/stdin || status=$?; } 2>/dev/null # no "Alarm clock" from bash
[ "$status" = 142 ] || fail "no record within -t 1: status $status, want 142 (SIGALRM)"
finish
