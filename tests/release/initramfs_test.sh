#!/bin/bash
# Installs the amd64 package into a bare Debian 13 (trixie) and a bare
# Debian 12 (bookworm), each with its initramfs-tools and kernel, and checks
# the initramfs that the package's trigger makes: evsnap and the input drivers
# that are modules inside it but not loaded, evsnap running there, the example
# boot script under the image's own shell (klibc's sh) against test devices,
# one of them late; then the drivers loaded once a setting asks for them, and
# once the script is enabled. Each kernel then boots that image under
# qemu-system-x86_64 (initramfs_boot.py), once with a key pressed and once
# without, and an image whose script asks for a USB keyboard plugged in late.
# Each root checks the example unit with its own systemd-analyze security,
# and Debian 12's root boots from a disk with the unit enabled (unit_boots).
# usage: initramfs_test.sh DEB      (as root, with Debian's mirror reachable)
set -euo pipefail
deb=$(realpath "${1:?usage: initramfs_test.sh DEB}")
here=$(cd "$(dirname "$0")" && pwd)
version=$(dpkg-parsechangelog -l "$here/../../debian/changelog" -S Version)

if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED initramfs: needs root (mmdebstrap, chroot)"
    exit 77
fi
for tool in mmdebstrap qemu-system-x86_64 python3; do
    command -v "$tool" >/dev/null || { echo "SKIPPED initramfs: needs $tool"; exit 77; }
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
in_root() {
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
}
# This machine's Debian sources, its release's name put in for another's.
sources=(/etc/apt/sources.list.d/*debian.sources)
[ -f "${sources[0]}" ] || sources=(/etc/apt/sources.list)
host_release=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
# In the hook's order: it loads them in that order.
drivers='evdev|gpio_keys|atkbd|usbhid|hid_generic|xhci_pci|xhci_plat_hcd|ehci_pci|ehci_platform|ohci_pci|ohci_platform|uhci_hcd|dwc2'

# unpack: the image of $initrd, unpacked, in $image; "loads" what its
# conf/modules loads before init-premount.
unpack() {
    rm -rf "$root/tmp/image"
    in_root unmkinitramfs "$initrd" /tmp/image
    image=$root/tmp/image
    # With an early (microcode) cpio in front, the main image is in main/.
    [ ! -d "$image/main" ] || image=$image/main
    loads=$(grep -sxE "$drivers" "$image/conf/modules" | xargs || true)
}

# release NAME: the package in a bare root of that Debian release, and its image.
release() {
    release=$1 root=$scratch/$1
    echo "== $1"
    # 1. The root, with this machine's sources and apt options (its mirror may
    # be a dated snapshot, or the only one this network reaches). MODULES=list
    # puts in the image only what hooks ask for: a build takes seconds, not
    # minutes, and evdev is there only if the package's hook adds it. No
    # recommends: no busybox, so the image's shell is klibc's.
    local start=$SECONDS mirror=http://deb.debian.org/debian
    if [ -s "${sources[0]}" ]; then
        mirror=$scratch/$1.${sources[0]##*.}
        sed "s/\b$host_release\b/$1/g" "${sources[0]}" >"$mirror"
    fi
    # shellcheck disable=SC2016 # the hooks' $1 is the root, for mmdebstrap to fill in
    if ! mmdebstrap --variant=minbase --include=initramfs-tools,linux-image-amd64,zstd,systemd-sysv,udev,e2fsprogs \
        --aptopt='APT::Install-Recommends "false"' \
        --setup-hook='mkdir -p "$1/etc/apt/apt.conf.d" "$1/etc/initramfs-tools/conf.d"' \
        --setup-hook='for f in /etc/apt/apt.conf.d/*; do case $f in *docker*|*packagekit*|*appstream*|*postgresql*) ;; *) cp "$f" "$1/etc/apt/apt.conf.d/";; esac; done' \
        --setup-hook='echo MODULES=list >"$1/etc/initramfs-tools/conf.d/modules"' \
        "$1" "$root" "$mirror" >"$scratch/mmdebstrap.log" 2>&1; then
        offline=$(grep -E -m1 "Failed to fetch.*(resolve|connect|Connection|unreachable|Temporary failure)" \
            "$scratch/mmdebstrap.log") || { tail -n 30 "$scratch/mmdebstrap.log"; fail "$1: mmdebstrap failed"; return; }
        echo "SKIPPED initramfs: ${offline#E: }"
        exit 77
    fi
    kernel=$(ls "$root/lib/modules")
    initrd=/boot/initrd.img-$kernel
    cp "$deb" "$root/tmp/evsnap.deb"
    # The package's trigger alone rebuilds the image.
    in_root apt-get -o Dpkg::Use-Pty=false install -y /tmp/evsnap.deb || fail "$1: apt-get install failed"
    echo "== $1: root and package: $((SECONDS - start)) s"

    # 2. What is in the image, and evsnap running there. The drivers that
    # are modules of this kernel (one built in needs nothing) are in it, but
    # nothing asked for them: they are not loaded.
    start=$SECONDS
    contents=$(in_root lsinitramfs "$initrd")
    grep -qx usr/bin/evsnap <<<"$contents" || fail "$1: $initrd: no usr/bin/evsnap"
    local module file modules=
    for module in ${drivers//|/ }; do
        file=$(in_root modinfo -k "$kernel" -F filename "$module" 2>/dev/null) || continue
        [[ $file == *.ko* ]] || continue
        modules+=" $module"
        grep -q "^usr/lib/modules/$kernel/.*/${file##*/}$" <<<"$contents" ||
            fail "$1: $initrd: no $module module"
    done
    modules=${modules# }
    echo "== $1: the drivers that are modules: $modules"
    [ -n "$modules" ] || fail "$1: none of the drivers is a module"
    unpack
    [ -z "$loads" ] || fail "$1: unasked, the image loads $loads"
    [ ! -e "$image/usr/bin/busybox" ] || fail "$1: the image has busybox: its shell is not klibc's"
    said=$(chroot "$image" /usr/bin/evsnap --version 2>&1) || fail "$1: evsnap in the image: $said"
    [ "$said" = "evsnap $version" ] || fail "$1: evsnap --version in the image printed '$said'"

    # 3. The example script as installed, run by the image's /bin/sh against
    # test devices in a sysfs of files: one holds a KEY_A press, one is a FIFO
    # with a writer that never writes, one has no device node, and one comes
    # half a second late, its node before its name. The script's clock is
    # /proc/uptime.
    mkdir -p "$image/proc" && mount -t proc proc "$image/proc"
    gone=$(chroot "$image" /usr/bin/evsnap /dev/input/event3 2>&1 || true)
    device 1 "evsnap press"
    key_press "$gone" 30 >"$image/dev/input/event1" # KEY_A
    device 2 "evsnap silent"
    mkfifo "$image/dev/input/event2"
    exec 4<>"$image/dev/input/event2"
    device 3 "evsnap gone"
    premount "evsnap press" 0x8001001e ""
    premount "evsnap silent" "" ""
    premount "evsnap gone" "" "$gone"
    premount "evsnap none" "" "evsnap: no input device named evsnap none"
    { sleep 0.5 && key_press "$gone" 30 >"$image/dev/input/event4" && device 4 "evsnap late"; } &
    premount "evsnap late" 0x8001001e ""
    wait $!
    exec 4>&-
    umount "$image/proc"

    # 4. The drivers loaded when a setting asks, and when a boot script in the
    # image runs evsnap: the example, enabled on the PC keyboard.
    echo EVSNAP_LOAD_DRIVERS=y >"$root/etc/initramfs-tools/conf.d/evsnap"
    in_root update-initramfs -u
    unpack
    [ "$loads" = "$modules" ] || fail "$1: asked by the setting, the image loads '$loads'"
    rm "$root/etc/initramfs-tools/conf.d/evsnap"
    enabled=$root/etc/initramfs-tools/scripts/init-premount/evsnap
    mkdir -p "${enabled%/*}"
    # 6 s: under TCG on a loaded machine the keyboard's probe took over 3.
    sed -e 's/^NAME=.*/NAME="AT Translated Set 2 keyboard"/' -e 's/^TIMEOUT=.*/TIMEOUT=6/' \
        "$root/usr/share/doc/evsnap/examples/init-premount" >"$enabled"
    chmod +x "$enabled"
    # And one whose script asks for a USB keyboard, in a copy of the settings:
    # usbhid names it after its maker and product, QEMU's "QEMU" and "QEMU USB
    # Keyboard". 5 s: it is plugged in a second late, and TCG is slow.
    rm -rf "$root/tmp/usb" && cp -a "$root/etc/initramfs-tools" "$root/tmp/usb"
    sed -i -e 's/^NAME=.*/NAME="QEMU QEMU USB Keyboard"/' -e 's/^TIMEOUT=.*/TIMEOUT=5/' \
        "$root/tmp/usb/scripts/init-premount/evsnap"
    in_root mkinitramfs -d /tmp/usb -o /tmp/usb.img "$kernel"
    in_root update-initramfs -u
    unpack
    [ "$loads" = "$modules" ] || fail "$1: with the script enabled, the image loads '$loads'"
    # The example unit needs little: this systemd scores it 1.0 or less.
    in_root systemd-analyze security --offline=yes --threshold=10 \
        /usr/share/doc/evsnap/examples/evsnap-boot-key.service >"$scratch/security" ||
        { cat "$scratch/security"; fail "$1: the example unit scores above 1.0"; }
    grep "Overall exposure" "$scratch/security"
    echo "== $1: image: $((SECONDS - start)) s"

    # 5. Its kernel boots the image, the script enabled on the PC keyboard.
    start=$SECONDS
    python3 "$here/initramfs_boot.py" "$scratch/boot-$1" "$root/boot/vmlinuz-$kernel" "$root$initrd" \
        "$root/tmp/usb.img" ||
        fail "$1: booting with the script enabled"
    echo "== $1: boots: $((SECONDS - start)) s"
    [ "$1" != bookworm ] || unit_boots
    rm -rf --one-file-system "$root" # a root and its kernel take a gigabyte
}
# unit_boots: the root, its image without the script but with what mounts a
# virtio disk, on a disk image of its own, booted by initramfs_boot.py with
# the example unit enabled as its comment says. A report unit prints what it
# left, and once adapts it to a USB keyboard as the comment says, then powers
# off.
unit_boots() {
    local start=$SECONDS
    rm "$enabled" "$root/tmp/evsnap.deb"
    rm -rf "$root/tmp/image"
    printf '%s\n' virtio_pci virtio_blk ext4 xhci_pci usbhid hid_generic >>"$root/etc/initramfs-tools/modules"
    in_root update-initramfs -u
    in_root cp /usr/share/doc/evsnap/examples/evsnap-boot-key.service /etc/systemd/system/
    in_root systemctl enable evsnap-boot-key.service
    in_root systemd-machine-id-setup # not a first boot: no presets applied
    cat >"$root/etc/systemd/system/evsnap-boot-report.service" <<'EOF'
[Unit]
After=multi-user.target evsnap-boot-key.service
[Service]
Type=oneshot
ExecStart=/usr/local/sbin/evsnap-boot-report
[Install]
WantedBy=multi-user.target
EOF
    cat >"$root/usr/local/sbin/evsnap-boot-report" <<'EOF'
#!/bin/sh
exec >/dev/ttyS0 2>&1
unit=evsnap-boot-key.service file=/run/evsnap/boot-key
if [ -e $file ]; then echo "@@KEY [$(cat $file)]"; echo "@@OWNER $(stat -c %u $file)"; else echo "@@KEY absent"; fi
echo "@@UNIT $(systemctl show -p Result -p ExecMainStatus $unit | xargs)"
journalctl -b -o cat _SYSTEMD_UNIT=$unit | sed 's/^/@@JOURNAL /'
journalctl -b -o short-monotonic -u $unit | sed 's/^/@@LOG /'
echo "@@REACHED $(systemctl show -P ActiveEnterTimestampMonotonic multi-user.target)"
# As the unit's comment says: the keyboard's eventN, its link, set as DEVICE=.
if grep -qw evsnap.adapt /proc/cmdline; then
    for i in $(seq 60); do
        event=$(awk '/^N: Name="QEMU QEMU USB Keyboard"/ { f = 1 }
            f && /^H:/ { for (i = 2; i <= NF; i++) if ($i ~ /^event/) print $i; exit }' /proc/bus/input/devices)
        link=$(ls -l /dev/input/by-path/ | awk -v to="../$event" '$NF == to { print $(NF - 2) }')
        [ -z "$link" ] || break
        sleep 0.5
    done
    [ -z "$link" ] || sed -i "s|^Environment=DEVICE=[^ ]*|Environment=DEVICE=/dev/input/by-path/$link|" \
        /etc/systemd/system/$unit
    echo "@@ADAPTED $(sed -n 's/^Environment=DEVICE=\([^ ]*\).*/\1/p' /etc/systemd/system/$unit)"
fi
echo @@END
systemctl poweroff
EOF
    chmod +x "$root/usr/local/sbin/evsnap-boot-report"
    in_root systemctl enable evsnap-boot-report.service
    mke2fs -q -t ext4 -d "$root" "$scratch/disk.img" 3G
    echo "== $release: disk: $((SECONDS - start)) s"
    start=$SECONDS
    python3 "$here/initramfs_boot.py" --disk "$scratch/units" "$root/boot/vmlinuz-$kernel" "$root$initrd" \
        "$scratch/disk.img" || fail "$release: booting the example unit"
    rm "$scratch/disk.img"
    echo "== $release: the unit's boots: $((SECONDS - start)) s"
}
device() {
    mkdir -p "$image/sys/class/input/event$1/device" "$image/dev/input"
    echo "$2" >"$image/sys/class/input/event$1/device/name"
}
# premount NAME KEY STDERR: runs the example for NAME, with a 1 s timeout.
premount() {
    sed -e "s/^NAME=.*/NAME='$1'/" -e "s/^TIMEOUT=.*/TIMEOUT=1/" \
        "$root/usr/share/doc/evsnap/examples/init-premount" >"$image/premount"
    rm -rf "$image/run/evsnap"
    local err key
    err=$(env -i PATH=/sbin:/usr/sbin:/bin:/usr/bin chroot "$image" /bin/sh /premount 2>&1 >/dev/null) ||
        fail "$release: premount $1: status $?"
    key=$(cat "$image/run/evsnap/boot-key") || fail "$release: premount $1: no boot-key"
    [ "$key" = "$2" ] || fail "$release: premount $1: boot-key '$key', want '$2'"
    [ "$err" = "$3" ] || fail "$release: premount $1: stderr '$err', want '$3'"
}

release trixie
release bookworm
finish
