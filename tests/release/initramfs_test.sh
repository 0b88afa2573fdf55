#!/bin/bash
# Installs the amd64 package into a bare Debian 12 with initramfs-tools and
# Debian's kernel, and checks the initramfs that the package's trigger makes:
# evsnap and evdev inside it, evsnap running there, the example boot script
# under the image's own shell (klibc's sh) against test devices; then boots
# that kernel with the script enabled under qemu-system-x86_64
# (initramfs_boot.py), once with a key pressed and once without.
# usage: initramfs_test.sh DEB      (as root, with Debian's mirror reachable)
set -euo pipefail
deb=$(realpath "${1:?usage: initramfs_test.sh DEB}")
here=$(cd "$(dirname "$0")" && pwd)
version=$(dpkg-parsechangelog -l "$here/../../packaging/changelog" -S Version)

if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED initramfs: needs root (mmdebstrap, chroot)"
    exit 0
fi
for tool in mmdebstrap qemu-system-x86_64 python3; do
    command -v "$tool" >/dev/null || { echo "SKIPPED initramfs: needs $tool"; exit 0; }
done
. "$here/../support/lib.sh"
# mmdebstrap mounts /proc, /sys and /dev in the root while it runs, and a
# killed run can leave them behind.
cleanup() {
    awk -v under="$scratch/" 'index($2, under) == 1 { print $2 }' /proc/mounts | sort -r |
        while read -r mount; do umount -l "$mount"; done
    rm -rf --one-file-system "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
root=$scratch/root
in_root() {
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
}

# 1. The root, with this machine's Debian sources and apt options (its mirror
# may be a dated snapshot, or the only one this network reaches). MODULES=list
# puts in the image only what hooks ask for: a build takes seconds, not
# minutes, and evdev is there only if the package's hook adds it. No
# recommends: no busybox, so the image's shell is klibc's.
start=$SECONDS
sources=(/etc/apt/sources.list.d/*debian.sources)
[ -f "${sources[0]}" ] || sources=(/etc/apt/sources.list)
[ -s "${sources[0]}" ] || sources=(http://deb.debian.org/debian)
# shellcheck disable=SC2016 # the hooks' $1 is the root, for mmdebstrap to fill in
if ! mmdebstrap --variant=minbase --include=initramfs-tools,linux-image-amd64,zstd \
    --aptopt='APT::Install-Recommends "false"' \
    --setup-hook='mkdir -p "$1/etc/apt/apt.conf.d" "$1/etc/initramfs-tools/conf.d"' \
    --setup-hook='for f in /etc/apt/apt.conf.d/*; do case $f in *docker*|*packagekit*|*appstream*|*postgresql*) ;; *) cp "$f" "$1/etc/apt/apt.conf.d/";; esac; done' \
    --setup-hook='echo MODULES=list >"$1/etc/initramfs-tools/conf.d/modules"' \
    bookworm "$root" "${sources[@]}" >"$scratch/mmdebstrap.log" 2>&1; then
    offline=$(grep -E -m1 "Failed to fetch.*(resolve|connect|Connection|unreachable|Temporary failure)" \
        "$scratch/mmdebstrap.log") || { tail -n 30 "$scratch/mmdebstrap.log"; fail "mmdebstrap failed"; finish; }
    echo "SKIPPED initramfs: ${offline#E: }"
    exit 0
fi
kernel=$(ls "$root/lib/modules")
initrd=/boot/initrd.img-$kernel
cp "$deb" "$root/tmp/evsnap.deb"
# The package's trigger alone rebuilds the image.
in_root apt-get -o Dpkg::Use-Pty=false install -y /tmp/evsnap.deb || fail "apt-get install failed"
echo "== root and package: $((SECONDS - start)) s"

# 2. What is in the image, and evsnap running there.
start=$SECONDS
contents=$(in_root lsinitramfs "$initrd")
grep -qx usr/bin/evsnap <<<"$contents" || fail "$initrd: no usr/bin/evsnap"
grep -qE "^usr/lib/modules/$kernel/.*/evdev\.ko(\.[a-z]+)?$" <<<"$contents" ||
    fail "$initrd: no evdev module"
in_root unmkinitramfs "$initrd" /tmp/image
image=$root/tmp/image
# With an early (microcode) cpio in front, the main image is in main/.
[ ! -d "$image/main" ] || image=$image/main
grep -qx evdev "$image/conf/modules" || fail "conf/modules does not load evdev: $(cat "$image/conf/modules")"
[ ! -e "$image/usr/bin/busybox" ] || fail "the image has busybox: its shell is not klibc's"
said=$(chroot "$image" /usr/bin/evsnap --version 2>&1) || fail "evsnap in the image: $said"
[ "$said" = "evsnap $version" ] || fail "evsnap --version in the image printed '$said'"

# 3. The example script as installed, run by the image's /bin/sh against test
# devices in a sysfs of files: one holds a KEY_A press, one is a FIFO with a
# writer that never writes, one has no device node.
device() {
    mkdir -p "$image/sys/class/input/event$1/device" "$image/dev/input"
    echo "$2" >"$image/sys/class/input/event$1/device/name"
}
gone=$(chroot "$image" /usr/bin/evsnap /dev/input/event3 2>&1 || true)
device 1 "evsnap press"
key_press "$gone" 30 >"$image/dev/input/event1" # KEY_A
device 2 "evsnap silent"
mkfifo "$image/dev/input/event2"
exec 4<>"$image/dev/input/event2"
device 3 "evsnap gone"
# premount NAME KEY STDERR: runs the example for NAME, with a 1 s timeout.
premount() {
    sed -e "s/^NAME=.*/NAME='$1'/" -e "s/^TIMEOUT=.*/TIMEOUT=1/" \
        "$root/usr/share/doc/evsnap/examples/init-premount" >"$image/premount"
    rm -rf "$image/run/evsnap"
    local err key
    err=$(env -i PATH=/sbin:/usr/sbin:/bin:/usr/bin chroot "$image" /bin/sh /premount 2>&1 >/dev/null) ||
        fail "premount $1: status $?"
    key=$(cat "$image/run/evsnap/boot-key") || fail "premount $1: no boot-key"
    [ "$key" = "$2" ] || fail "premount $1: boot-key '$key', want '$2'"
    [ "$err" = "$3" ] || fail "premount $1: stderr '$err', want '$3'"
}
premount "evsnap press" 0x8001001e ""
premount "evsnap silent" "" ""
premount "evsnap gone" "" "$gone"
premount "evsnap none" "" "evsnap: no input device named evsnap none"
exec 4>&-
echo "== image: $((SECONDS - start)) s"

# 4. A boot with the script enabled on the PC keyboard.
start=$SECONDS
enabled=$root/etc/initramfs-tools/scripts/init-premount/evsnap
mkdir -p "${enabled%/*}"
sed 's/^NAME=.*/NAME="AT Translated Set 2 keyboard"/' \
    "$root/usr/share/doc/evsnap/examples/init-premount" >"$enabled"
chmod +x "$enabled"
in_root update-initramfs -u
python3 "$here/initramfs_boot.py" "$scratch/boot" "$root/boot/vmlinuz-$kernel" "$root$initrd" ||
    fail "booting with the script enabled"
echo "== boots: $((SECONDS - start)) s"

finish
