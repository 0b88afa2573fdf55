#!/bin/bash
# Checks the Debian packages that packaging/build-debs.sh builds, one for each
# architecture: control fields, contents, the binary inside, and the binary as
# installed (under qemu-user for another machine), and installed on each Debian
# release it is for; the armhf package's refusal of ARMv6 and older; this
# machine's package through its autopkgtest; then lintian, which must report
# no errors.
# usage: packages_test.sh DIR
set -euo pipefail
# Absolute: apt-get takes a path to a .deb only as ./ or /.
dir=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
host_arch=$(dpkg-architecture -q DEB_HOST_ARCH)
. "$(dirname "$0")/../support/lib.sh"
. "$src/cmake/targets.sh"

# Every file in a package: mode, owner, path (a document as dh_compress
# leaves it, gzipped or not by its size, without the .gz).
want_files="-rw-r--r-- root/root ./usr/share/bash-completion/completions/evsnap
-rw-r--r-- root/root ./usr/share/doc/evsnap/README.md
-rw-r--r-- root/root ./usr/share/doc/evsnap/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/evsnap/copyright
-rw-r--r-- root/root ./usr/share/doc/evsnap/boards.md
-rw-r--r-- root/root ./usr/share/doc/evsnap/openwrt.md
-rw-r--r-- root/root ./usr/share/doc/evsnap/examples/evsnap-boot-key.service
-rw-r--r-- root/root ./usr/share/doc/evsnap/examples/init-premount
-rwxr-xr-x root/root ./usr/share/initramfs-tools/hooks/evsnap
-rw-r--r-- root/root ./usr/share/man/man1/evsnap.1.gz
-rwxr-xr-x root/root ./usr/bin/evsnap"

machine_of() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }

. "$src/packaging/private-apt.sh"
offline=

debs=("$dir"/evsnap_"${version}"_*.deb)
[ -f "${debs[0]}" ] || fail "no packages in $dir"
for deb in "${debs[@]}"; do
    arch=${deb##*_}
    arch=${arch%.deb}
    # The glibc build of targets.txt for the architecture: its machine, tools
    # and C library by its triplet, and its oldest CPU, which runs it here.
    build=$(targets libc glibc | while read -r b; do [ "$(target "$b" debian)" != "$arch" ] || echo "$b"; done)
    [ -n "$build" ] || { fail "$deb: no glibc build for $arch in targets.txt"; continue; }
    triplet=$(target "$build" triplet)
    cpus=($(target "$build" cpus))
    run="$(target "$build" emulator) -cpu ${cpus[0]}"
    if [ "$arch" = "$host_arch" ]; then
        machine=$(machine_of /bin/sh)
    else
        machine=$(machine_of "/usr/$triplet/lib/libc.so.6")
        run="$run -L /usr/$triplet"
    fi
    echo "== $deb ($(stat -c %s "$deb") bytes)"
    dpkg-deb --info "$deb"
    field() { dpkg-deb --field "$deb" "$1"; }
    [ "$(field Package)" = evsnap ] || fail "$deb: Package $(field Package)"
    [ "$(field Version)" = "$version" ] || fail "$deb: Version $(field Version), want $version"
    [ "$(field Architecture)" = "$arch" ] || fail "$deb: Architecture $(field Architecture)"
    depends=$(field Depends)
    [[ $depends =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] || fail "$deb: Depends '$depends'"

    dpkg-deb --contents "$deb"
    files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sed 's/\.md\.gz$/.md/' | sort)
    [ "$files" = "$(sort <<<"$want_files")" ] || fail "$deb: files differ: $files"

    root=$scratch/$arch
    dpkg-deb -x "$deb" "$root"
    bin=$root/usr/bin/evsnap
    got_machine=$(readelf -h "$bin" | sed -n 's/^ *Machine: *//p')
    [ "$got_machine" = "$machine" ] || fail "$deb: a binary for $got_machine, want $machine"
    ! readelf -S "$bin" | grep -q -E '\.symtab|\.comment' || fail "$deb: binary not stripped"
    # shellcheck disable=SC2086 # $run is a command line
    out=$($run "$bin" --version) || fail "$deb: --version failed"
    [ "$out" = "evsnap $version" ] || fail "$deb: --version printed '$out'"
    cmp -s <(zcat "$root/usr/share/man/man1/evsnap.1.gz") <(sed "s/@PROJECT_VERSION@/$version/g" "$src/doc/evsnap.1.in") ||
        fail "$deb: the man page differs from doc/evsnap.1.in of version $version"
    cmp -s "$root/usr/share/initramfs-tools/hooks/evsnap" "$src/packaging/initramfs/hook" ||
        fail "$deb: the initramfs hook differs from packaging/initramfs/hook"
    # The example unit as systemd reads it (verify lets a misspelt setting
    # pass with a warning), and how little it may do: 1.0 or less.
    unit=$root/usr/share/doc/evsnap/examples/evsnap-boot-key.service
    said=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "$deb: systemd-analyze verify failed: $said"
    [ -z "$said" ] || fail "$deb: systemd-analyze verify says: $said"
    said=$(systemd-analyze security --offline=yes --threshold=10 "$unit" 2>&1) ||
        fail "$deb: the example unit scores above 1.0: $said"
    triggers=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./triggers | grep -v '^#')
    [ "$triggers" = "activate-noawait update-initramfs" ] || fail "$deb: triggers '$triggers'"
    # The licence as LICENSE has it, in the copyright file's format.
    sed -n '/^License: Expat$/,$p' "$root/usr/share/doc/evsnap/copyright" | sed '1,/^License: Expat$/d' |
        sed 's/^ //; s/^\.$//' | cmp -s - <(sed '1,/^Copyright/d' "$src/LICENSE" | sed '1{/^$/d}') ||
        fail "$deb: the copyright file's licence is not LICENSE's"
    zcat "$root/usr/share/doc/evsnap/changelog.gz" >"$scratch/changelog"
    changed=$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)
    [ "$changed" = "$version" ] || fail "$deb: changelog's last entry is $changed"

    # It installs on each of its releases: its Depends resolved against the
    # release's lists, and evsnap run by that release's libc6 (its loader,
    # which the binary's interpreter path must name).
    interp=$(readelf -l "$bin" | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
    for release in $(package_releases "$build"); do
        apt_for "$release" "$arch" "$scratch/apt-$release-$arch" || { offline+=" $release"; continue; }
        said=$("${apt[@]}" install -s "$deb" 2>&1) || { fail "$deb: not installable on $release: $said"; continue; }
        [[ $said == *"Inst evsnap ($version local-deb [$arch])"* ]] || fail "$deb: $release installs no evsnap: $said"
        libc=$scratch/$release-$arch
        mkdir "$libc"
        if ! said=$(cd "$libc" && "${apt[@]}" download "libc6:$arch" 2>&1); then
            # A mirror can lag behind its own lists by a file; Depends is proved above.
            [[ $said == *" 404 "* ]] || { fail "$release: no libc6:$arch: $said"; continue; }
            echo "NOTE: $release's mirror has no file for its libc6:$arch; evsnap not run on it"
            continue
        fi
        dpkg-deb -c "$libc"/libc6_*.deb | grep -q -E " \./(usr/)?${interp#/}( |\$)" ||
            fail "$deb: $release's libc6 has no $interp"
        dpkg-deb -x "$libc"/libc6_*.deb "$libc/root"
        # The loader itself, run as the oldest CPU on the release's libc: the
        # root's own links can point outside it (mips64el's /lib64/ld.so.1).
        loader=$(find "$libc/root" -name "${interp##*/}" -type f)
        # shellcheck disable=SC2086 # the emulator's command line
        out=$($(target "$build" emulator) -cpu ${cpus[0]} "$loader" --library-path "${loader%/*}" "$bin" --version) ||
            fail "$deb: evsnap on $release's libc6 failed"
        [ "$out" = "evsnap $version" ] || fail "$deb: evsnap on $release's libc6 printed '$out'"
    done
done

# The armhf package refuses a CPU older than ARMv7 before it unpacks, and
# names the archive that runs there; newer ones install.
deb=$dir/evsnap_${version}_armhf.deb
dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$scratch" ./preinst || fail "$deb: no preinst"
mkdir "$scratch/uname"
arm=evsnap-${version}-linux-$(target "$(for b in $(targets uname); do
    [[ " $(target "$b" uname) " != *" armv6l "* ]] || echo "$b"; done | head -n 1)" archive)-static.tar.gz
for machine in $(targets uname | while read -r b; do target "$b" uname; done); do
    printf '#!/bin/sh\necho %s\n' "$machine" >"$scratch/uname/uname"
    chmod +x "$scratch/uname/uname"
    status=0
    said=$(PATH=$scratch/uname:$PATH sh "$scratch/preinst" install 2>&1) || status=$?
    case $machine:$status in
    armv[56]*:1) [[ $said == *"$arm"* ]] || fail "preinst on $machine does not name $arm: $said" ;;
    armv[56]*:*) fail "preinst on $machine: status $status, want 1" ;;
    *:0) [ -z "$said" ] || fail "preinst on $machine said: $said" ;;
    *) fail "preinst on $machine: status $status, want 0: $said" ;;
    esac
done

# The package's own tests (debian/tests), this machine's package installed in
# a throwaway root of its Debian release, not in this machine: evsnap's
# black-box cases on /usr/bin/evsnap. autopkgtest's chroot runner, as its
# unshare one makes no user namespace in a chroot (a bare CI root is one);
# mmdebstrap makes the root's /dev, the test mounts its /proc.
deb=$dir/evsnap_${version}_$host_arch.deb
if [ -f "$deb" ]; then
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    root=$scratch/$codename
    if mmdebstrap --variant=apt "$codename" "$root" >"$scratch/mmdebstrap.log" 2>&1; then
        mount -t proc proc "$root/proc"
        autopkgtest -U "$deb" "$src" -- chroot "$root" || fail "$deb: its autopkgtest failed"
        umount -l "$root/proc"
    else
        tail -n 20 "$scratch/mmdebstrap.log"
        offline+=" $codename(root)"
    fi
fi

# Errors fail; warnings and notes are shown.
lintian --fail-on error --info --display-info --pedantic "${debs[@]}" || fail "lintian reports errors"

# With no mirror, the installs were not tried: that is a skip unless something failed.
if [ -n "$offline" ] && [ "$failed" = 0 ]; then
    echo "SKIPPED packages: no Debian mirror for$offline"
    exit 77
fi

finish
