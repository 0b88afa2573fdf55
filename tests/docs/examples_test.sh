#!/bin/bash
# Runs the docs' shell examples as they stand, under dash, busybox ash and
# bash: every fenced sh block of README.md and doc/*.md that takes evsnap's
# line with $(evsnap, every such example of the man page as mandoc renders
# it, and the example boot script. Each runs with its device paths pointed at
# a FIFO that delivers a KEY_ENTER press, one that never delivers, a path that
# is not there, and a FIFO that delivers a release, with set -e and without;
# the boot examples also with a press whose device comes a second late.
# It must take the branch and end with the status the table below gives, and
# say nothing on standard error but evsnap's own message about the missing
# path: no "Alarm clock" from the shell. busybox ash runs among busybox's own
# tools, as on a board. Then the README's lookup of a device by name, its
# reading of a button's code from the device tree, and of a MIPS machine's
# byte order.
# usage: examples_test.sh SOURCE_DIR EVSNAP
set -euo pipefail
src=$1
evsnap=$(realpath "$2")
. "$src/tests/support/lib.sh"
for tool in dash busybox mandoc; do
    command -v "$tool" >/dev/null || { echo "FAIL: needs $tool (apt-get install $tool)"; exit 1; }
done
mkdir "$scratch/bin" "$scratch/examples" "$scratch/busybox"
ln -s "$evsnap" "$scratch/bin/evsnap"
busybox --install -s "$scratch/busybox"
rm -f "$scratch/busybox/od" # as OpenWrt's busybox, which has none

# FILE#N DOUBLE: the status, then what standard output says. For the boot
# script, what it leaves in /run/evsnap/boot-key. "waits": still waiting
# after 8 seconds, as -t 0 should. "late" only for the examples that have it.
declare -A want=(
    ["README.md#1 delivers"]="0|button pressed: starting the recovery system"
    ["README.md#1 never"]="0|no button: booting normally"
    ["README.md#1 missing"]="0|no button: booting normally"
    ["README.md#1 releases"]="0|no button: booting normally"
    ["README.md#1 late"]="0|button pressed: starting the recovery system"
    ["README.md#2 delivers"]="0|confirmed"
    ["README.md#2 never"]="0|no answer"
    ["README.md#2 missing"]="0|no answer"
    ["README.md#2 releases"]="0|no answer"
    ["README.md#3 delivers"]="0|a record: 0x8001001c"
    ["README.md#3 never"]="0|no button within 3 seconds"
    ["README.md#3 missing"]="0|the device could not be read"
    ["README.md#3 releases"]="0|a record: a release, of a button held since before"
    ["README.md#3 late"]="0|a record: 0x8001001c"
    ["README.md#4 delivers"]="0|evsnap: button 0x8001001c at boot"
    ["README.md#4 never"]="0|evsnap: no button at boot"
    ["README.md#4 missing"]="0|evsnap: no button at boot"
    ["README.md#4 releases"]="0|evsnap: no button at boot"
    ["README.md#4 late"]="0|evsnap: button 0x8001001c at boot"
    ["evsnap.1#1 delivers"]="0|button pressed: starting the recovery system"
    ["evsnap.1#1 never"]="0|no button: booting normally"
    ["evsnap.1#1 missing"]="0|no button: booting normally"
    ["evsnap.1#1 releases"]="0|no button: booting normally"
    ["evsnap.1#1 late"]="0|button pressed: starting the recovery system"
    ["evsnap.1#2 delivers"]="0|confirmed"
    ["evsnap.1#2 never"]="0|no answer"
    ["evsnap.1#2 missing"]="0|no answer"
    ["evsnap.1#2 releases"]="0|no answer"
    ["evsnap.1#3 delivers"]="0|0x8001001c"
    ["evsnap.1#3 never"]="waits|"
    ["evsnap.1#3 missing"]="0|"
    ["evsnap.1#3 releases"]="waits|"
    ["evsnap.1#4 delivers"]="0|a record: 0x8001001c"
    ["evsnap.1#4 never"]="0|nothing within 1 second"
    ["evsnap.1#4 missing"]="0|no record could be read"
    ["evsnap.1#4 releases"]="0|a record: one that printed nothing"
    ["init-premount#1 delivers"]="0|0x8001001c"
    ["init-premount#1 never"]="0|"
    ["init-premount#1 missing"]="0|"
    ["init-premount#1 releases"]="0|"
    ["init-premount#1 late"]="0|0x8001001c"
)

# The examples, one file each, named FILE#N.
markdown() { # DIR REGEX FILE...: their fenced sh blocks that match REGEX, into DIR
    awk -v dir="$1" -v regex="$2" '
        FNR == 1 { name = FILENAME; sub(/.*\//, "", name); n = 0 }
        /^```sh$/ { inside = 1; text = ""; next }
        inside && /^```$/ {
            inside = 0
            if (text ~ regex) { out = dir "/" name "#" ++n; printf "%s", text > out; close(out) }
            next
        }
        inside { text = text $0 "\n" }' "${@:3}"
}
markdown "$scratch/examples" '[$][(]evsnap' "$src/README.md" "$src"/doc/*.md
# The man page's: blocks of its rendering, between blank lines, that take the
# line. mandoc marks bold and underline by striking over: the strokes go.
mandoc -T ascii "$src/doc/evsnap.1" | sed 's/.\x08//g' | awk -v dir="$scratch/examples" '
    /^$/ { if (text ~ /\$\(evsnap/) { out = dir "/evsnap.1#" ++n; printf "%s", text > out; close(out) }
           text = ""; next }
    { sub(/^       /, ""); text = text $0 "\n" }'
cp "$src/packaging/initramfs/init-premount" "$scratch/examples/init-premount#1"

found=$(cd "$scratch/examples" && ls | sort | xargs)
wanted=$(printf '%s\n' "${!want[@]}" | sed 's/ .*//' | sort -u | xargs)
echo "examples: $found"
[ "$found" = "$wanted" ] || fail "the docs hold the examples $found, the table $wanted"

# evsnap's message about a missing path, which gives a record's length too.
missing_says=$("$evsnap" "$scratch/nothing" 2>&1 >/dev/null || true)
key_press "$missing_says" 28 >"$scratch/delivers" # KEY_ENTER
record "$missing_says" 1 28 0 >"$scratch/releases" # its release

# shell NAME: the command line of that shell, and busybox's tools for its own.
shell() {
    case $1 in
    busybox*) echo "env PATH=$scratch/bin:$scratch/busybox $(command -v busybox) ${1#* }" ;;
    *) echo "$1" ;;
    esac
}

# one EXAMPLE DOUBLE SHELL [-e]: runs it in a folder of its own, where the
# device paths lead, and checks the outcome.
one() {
    local example=$1 double=$2 shell=$3 dir status out err expected
    dir=$(mktemp -d "$scratch/run.XXXXXX")
    mkdir -p "$dir/input" "$dir/run"
    # Device paths lead to $dir/input/, where the double stands at each one named.
    sed -e "s|/dev/input/|$dir/input/|g" -e "s|/sys/class/input|$dir/sys|g" \
        -e "s|/run/evsnap|$dir/run|g" "$scratch/examples/$example" >"$dir/example.sh"
    local paths # those the example names, or the one the boot script finds in sysfs
    paths=$(grep -o "$dir/input/[A-Za-z0-9_./-]*[A-Za-z0-9]" "$dir/example.sh" | sort -u || true)
    [ -n "$paths" ] || paths=$dir/input/event0
    appear() { # the device: its names in sysfs, the double at each path
        mkdir -p "$dir/sys/event0/device" "$dir/sys/event1/device"
        # Two of the name: the boot script takes the first, whose node is there.
        echo gpio-keys >"$dir/sys/event0/device/name"
        echo gpio-keys >"$dir/sys/event1/device/name"
        for path in $paths; do
            mkdir -p "$(dirname "$path")"
            case $double in
            missing) ;;
            late) cp "$scratch/delivers" "$path.new" && mv "$path.new" "$path" ;;
            *)
                mkfifo "$path"
                exec 4<>"$path" # held open: evsnap's open goes on, and a read waits
                [ "$double" = never ] || cat "$scratch/$double" >&4
                ;;
            esac
        done
    }
    local late=
    if [ "$double" = late ]; then
        (sleep 1 && appear) &
        late=$!
    else
        appear
    fi
    status=0
    # shellcheck disable=SC2046 # the shell's command line
    (cd "$dir" && PATH=$scratch/bin:$PATH timeout 8 $(shell "$shell") ${4:-} example.sh >out 2>err) ||
        status=$?
    exec 4>&-
    [ -z "$late" ] || wait "$late"
    out=$(cat "$dir/out")
    [ "$example" != init-premount#1 ] || out=$(cat "$dir/run/boot-key" 2>&1 || true)
    [ "$status" != 124 ] || status=waits
    err=$(cat "$dir/err")
    expected=${want[$example $double]}
    local what="$example, $double double, $shell${4:+ $4}"
    [ "$status|$out" = "$expected" ] || fail "$what: status and output '$status|$out', want '$expected'"
    if [ "$double" = missing ]; then
        [ "$err" = "$(echo "$missing_says" | sed "s|$scratch/nothing|$paths|")" ] ||
            fail "$what: standard error '$err', want evsnap's own message"
    else
        [ -z "$err" ] || fail "$what: standard error '$err'"
    fi
    rm -rf "$dir"
    return "$failed"
}

# Twelve at a time: most sleep seconds until their alarm, and a loaded
# machine must not stretch one past its bound.
running=0 runs=0
for example in $found; do
    for double in delivers never missing releases late; do
        [ -n "${want[$example $double]+set}" ] || continue
        for shell in dash "busybox ash" bash; do
            for e in "" -e; do
                if ((running == 12)); then
                    wait -n || failed=1
                    running=$((running - 1))
                fi
                one "$example" "$double" "$shell" $e &
                running=$((running + 1)) runs=$((runs + 1))
            done
        done
    done
done
for ((; running > 0; running--)); do
    wait -n || failed=1
done
echo "$runs runs"

# The README's lookup by name takes the first device of either name (gpio-keys,
# OpenWrt's keys), and says nothing when none has it or there is no event
# device at all. Its reading of linux,code, a big-endian cell, gives evsnap's
# own line for that key, with od, and with hexdump under busybox, without od.
mkdir "$scratch/blocks"
markdown "$scratch/blocks" '/sys/class/input|/proc/device-tree|/bin/busybox' "$src/README.md"
lookup=$(grep -l /sys/class/input "$scratch"/blocks/*) || fail "README.md: no lookup in sysfs"
from_tree=$(grep -l /proc/device-tree "$scratch"/blocks/*) || fail "README.md: no reading of linux,code"
byte_order=$(grep -l /bin/busybox "$scratch"/blocks/*) || fail "README.md: no reading of the byte order"
key_press "$missing_says" 353 >"$scratch/select" # KEY_SELECT, 0x161
line=$("$evsnap" "$scratch/select")
# block FILE WANT NAME...: runs FILE in a sysfs of event devices with those
# names, and a device tree whose every linux,code says KEY_SELECT.
block() {
    local dir=$scratch/block i=0 shell e out
    rm -rf "$dir" && mkdir -p "$dir/sys"
    for name in "${@:3}"; do
        mkdir -p "$dir/sys/event$((i += 1))/device" && echo "$name" >"$dir/sys/event$i/device/name"
    done
    sed -e "s|/dev/input/|$dir/input/|g" -e "s|/sys/class/input|$dir/sys|g" \
        -e "s|/proc/device-tree|$dir/tree|g" "$1" >"$dir/block.sh"
    echo 'echo "${device-}"' >>"$dir/block.sh"
    for code in $(grep -o "$dir/tree/[^ )]*" "$dir/block.sh"); do
        mkdir -p "${code%/*}" && printf '\000\000\001\141' >"$code"
    done
    for shell in dash "busybox ash" bash; do
        for e in "" -e; do
            # shellcheck disable=SC2046 # the shell's command line
            out=$(cd "$dir" && $(shell "$shell") $e block.sh 2>&1) || out="$out (status $?)"
            [ "$out" = "${2//DIR/$dir}" ] || fail "${1##*/} (${*:3}), $shell $e: '$out', want '${2//DIR/$dir}'"
        done
    done
}
block "$lookup" "DIR/input/event2" "Power Button" gpio-keys gpio-keys
block "$lookup" "DIR/input/event2" "Power Button" keys gpio-keys
block "$lookup" "" "Power Button"
block "$lookup" ""
block "$from_tree" "$line"

# Its class and byte order name the archive of each build that `uname -m`
# calls mips or mips64, under busybox ash and its tools. It reads the ELF
# header of that build's evsnap, or of Debian's C library for its triplet;
# without either, of this build's evsnap with EI_CLASS and EI_DATA (bytes 5
# and 6) set to the build's.
. "$src/cmake/targets.sh"
declare -A ei_class=([mips]=1 [mips64]=2) ei_data=([little]=1 [big]=2)
for machine in "${!ei_class[@]}"; do
    [ -n "$(targets uname "$machine")" ] || fail "targets.txt: no build that uname -m calls $machine"
    for t in $(targets uname "$machine"); do
        order=$(target "$t" endian) header=$scratch/$t.header
        { head -c 4 "$evsnap" && printf %b "\\00${ei_class[$machine]}\\00${ei_data[$order]}"; } >"$header"
        for program in "$src/build/$t/evsnap" "/usr/$(target "$t" triplet)/lib/libc.so.6"; do
            [ ! -f "$program" ] || { head -c 6 "$program" >"$header" && break; }
        done
        sed "s|/bin/busybox|$header|g" "$byte_order" >"$scratch/byte_order.sh"
        for e in "" -e; do
            # shellcheck disable=SC2046 # the shell's command line
            out=$($(shell "busybox ash") $e "$scratch/byte_order.sh" 2>&1) || out="$out (status $?)"
            [ "$out" = "$(target "$t" archive)" ] || fail "$t's header, busybox ash $e: '$out'"
        done
    done
done
finish
