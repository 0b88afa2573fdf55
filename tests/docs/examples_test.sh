#!/bin/bash
# Runs the docs' shell examples as they stand, under dash, busybox ash and
# bash: the fenced sh blocks of README.md and doc/*.md, and the blocks of the
# man page as mandoc renders it, that a first line "# example: NAME" names,
# and the example boot script. Other blocks are no examples, and one that takes
# evsnap's line fails. Those of the table below run
# with their device paths pointed at a FIFO that delivers a KEY_ENTER press,
# one that never delivers, a path that is not there, and a FIFO that delivers
# a release, with set -e and without; the boot examples also with a press
# whose device comes a second late. Each must take the branch and end with the status the table below gives, and
# say nothing on standard error but evsnap's own message about the missing
# path: no "Alarm clock" from the shell. busybox ash runs among busybox's own
# tools, as on a board. Then the lookup of a device by name, the reading of a
# button's code from the device tree, and of a MIPS machine's byte order.
# usage: examples_test.sh SOURCE_DIR MAN_PAGE EVSNAP   (the build's man page)
set -euo pipefail
src=$1 man_page=$2
evsnap=$(realpath "$3")
. "$src/tests/support/lib.sh"
for tool in dash busybox mandoc; do
    command -v "$tool" >/dev/null || { echo "FAIL: needs $tool (apt-get install $tool)"; exit 1; }
done
mkdir "$scratch/bin" "$scratch/examples" "$scratch/busybox"
ln -s "$evsnap" "$scratch/bin/evsnap"
busybox --install -s "$scratch/busybox"
rm -f "$scratch/busybox/od" # as OpenWrt's busybox, which has none

# NAME DOUBLE: the status, then what standard output says, for each example
# of that name. For the boot script, what it leaves in /run/evsnap/boot-key.
# "waits": still waiting after 8 seconds, as -t 0 should. "late" only for the
# examples that have it.
declare -A want=(
    ["boot-recovery delivers"]="0|button pressed: starting the recovery system"
    ["boot-recovery never"]="0|no button: booting normally"
    ["boot-recovery missing"]="0|no button: booting normally"
    ["boot-recovery releases"]="0|no button: booting normally"
    ["boot-recovery late"]="0|button pressed: starting the recovery system"
    ["which-button delivers"]="0|confirmed"
    ["which-button never"]="0|no answer"
    ["which-button missing"]="0|no answer"
    ["which-button releases"]="0|no answer"
    ["boot-status delivers"]="0|a record: 0x8001001c"
    ["boot-status never"]="0|no button within 3 seconds"
    ["boot-status missing"]="0|the device could not be read"
    ["boot-status releases"]="0|a record: a release, of a button held since before"
    ["boot-status late"]="0|a record: 0x8001001c"
    ["rc-local delivers"]="0|evsnap: button 0x8001001c at boot"
    ["rc-local never"]="0|evsnap: no button at boot"
    ["rc-local missing"]="0|evsnap: no button at boot"
    ["rc-local releases"]="0|evsnap: no button at boot"
    ["rc-local late"]="0|evsnap: button 0x8001001c at boot"
    ["each-key delivers"]="0|0x8001001c"
    ["each-key never"]="waits|"
    ["each-key missing"]="0|"
    ["each-key releases"]="waits|"
    ["status delivers"]="0|a record: 0x8001001c"
    ["status never"]="0|nothing within 1 second"
    ["status missing"]="0|no record could be read"
    ["status releases"]="0|a record: one that printed nothing"
    ["init-premount delivers"]="0|0x8001001c"
    ["init-premount never"]="0|"
    ["init-premount missing"]="0|"
    ["init-premount releases"]="0|"
    ["init-premount late"]="0|0x8001001c"
)
# The names of those the end of this file runs, and of the table's.
declare -A known=([find-device]=1 [key-from-tree]=1 [mips-archive]=1)
for row in "${!want[@]}"; do known[${row% *}]=1; done

# The examples, one file each, named FILE:NAME.
markdown() { # DIR FILE...: their named fenced sh blocks into DIR, and what is amiss
    awk -v dir="$1" '
        FNR == 1 { file = FILENAME; sub(/.*\//, "", file) }
        /^```sh$/ { inside = 1; text = ""; next }
        inside && /^```$/ {
            inside = 0
            if (text ~ /^# example: /) {
                out = dir "/" file ":" substr(text, 12, index(text, "\n") - 12)
                if (out in seen) print "FAIL " file ": two examples named " substr(out, length(dir) + 2)
                seen[out] = 1
                printf "%s", text > out
                close(out)
            } else if (text ~ /[$][(]evsnap/) print "FAIL " file ": a block takes $(evsnap and names no example (# example: NAME)"
            next
        }
        inside { text = text $0 "\n" }' "${@:2}"
}
# The man page's blocks, between blank lines of its rendering, as fenced ones.
# mandoc marks bold and underline by striking over: the strokes go.
mandoc -T ascii "$man_page" | sed 's/.\x08//g' | awk '
    /^$/ { if (text != "") printf "```sh\n%s```\n", text; text = ""; next }
    { sub(/^       /, ""); text = text $0 "\n" }' >"$scratch/evsnap.1"
while read -r said; do
    [ "${said%% *}" != FAIL ] && echo "$said" || fail "${said#FAIL }"
done < <(markdown "$scratch/examples" "$src/README.md" "$src"/doc/*.md "$scratch/evsnap.1")
cp "$src/packaging/initramfs/init-premount" "$scratch/examples/init-premount:init-premount"

found=$(cd "$scratch/examples" && ls | sort | xargs)
echo "examples: $found"
unknown=$(for f in $found; do [ -n "${known[${f#*:}]+set}" ] || echo "$f"; done | xargs)
absent=$(for n in "${!known[@]}"; do compgen -G "$scratch/examples/*:$n" >/dev/null || echo "$n"; done | xargs)
[ -z "$unknown$absent" ] || fail "examples the table has no outcomes for: ${unknown:-none}; the table's that no doc holds: ${absent:-none}"

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
    local example=$1 double=$2 shell=$3 name=${1#*:} dir status out err expected
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
    [ "$name" != init-premount ] || out=$(cat "$dir/run/boot-key" 2>&1 || true)
    [ "$status" != 124 ] || status=waits
    err=$(cat "$dir/err")
    expected=${want[$name $double]}
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
        [ -n "${want[${example#*:} $double]+set}" ] || continue
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

# The lookup by name (find-device) takes the first device of either name
# (gpio-keys, OpenWrt's keys), and says nothing when none has it or there is
# no event device at all. The reading of linux,code (key-from-tree), a
# big-endian cell, gives evsnap's own line for that key, with od, and with
# hexdump under busybox, without od.
key_press "$missing_says" 353 >"$scratch/select" # KEY_SELECT, 0x161
line=$("$evsnap" "$scratch/select")
# block NAME WANT DEVICE...: runs each example NAME in a sysfs of event
# devices of those names, and a device tree whose every linux,code says
# KEY_SELECT.
block() {
    local example dir=$scratch/block i shell e out
    for example in "$scratch"/examples/*:"$1"; do
        [ -f "$example" ] || continue # none: said above
        rm -rf "$dir" && mkdir -p "$dir/sys" && i=0
        for name in "${@:3}"; do
            mkdir -p "$dir/sys/event$((i += 1))/device" && echo "$name" >"$dir/sys/event$i/device/name"
        done
        sed -e "s|/dev/input/|$dir/input/|g" -e "s|/sys/class/input|$dir/sys|g" \
            -e "s|/proc/device-tree|$dir/tree|g" "$example" >"$dir/block.sh"
        echo 'echo "${device-}"' >>"$dir/block.sh"
        for code in $(grep -o "$dir/tree/[^ )]*" "$dir/block.sh"); do
            mkdir -p "${code%/*}" && printf '\000\000\001\141' >"$code"
        done
        for shell in dash "busybox ash" bash; do
            for e in "" -e; do
                # shellcheck disable=SC2046 # the shell's command line
                out=$(cd "$dir" && $(shell "$shell") $e block.sh 2>&1) || out="$out (status $?)"
                [ "$out" = "${2//DIR/$dir}" ] || fail "${example##*/} (${*:3}), $shell $e: '$out', want '${2//DIR/$dir}'"
            done
        done
    done
}
block find-device "DIR/input/event2" "Power Button" gpio-keys gpio-keys
block find-device "DIR/input/event2" "Power Button" keys gpio-keys
block find-device "" "Power Button"
block find-device ""
block key-from-tree "$line"

# The byte order (mips-archive): its class and byte order name the archive of
# each build that `uname -m` calls mips or mips64, under busybox ash and its
# tools. It reads the ELF header of that build's evsnap, or of Debian's C
# library for its triplet; without either, of this build's evsnap with
# EI_CLASS and EI_DATA (bytes 5 and 6) set to the build's.
. "$src/cmake/targets.sh"
declare -A ei_class=([mips]=1 [mips64]=2) ei_data=([little]=1 [big]=2)
for byte_order in "$scratch"/examples/*:mips-archive; do
    [ -f "$byte_order" ] || continue # none: said above
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
done
finish
