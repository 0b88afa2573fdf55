#!/bin/bash
# Runs the docs' shell examples as they stand, under dash, busybox ash and
# bash: every fenced sh block of README.md and doc/*.md that takes evsnap's
# line with $(evsnap, every such example of the man page as mandoc renders
# it, and the example boot script. Each runs with its device paths pointed at
# a FIFO that delivers a KEY_ENTER press, one that never delivers, and a path
# that is not there. It must take the branch and end with the status the table
# below gives, and say nothing on standard error but evsnap's own message
# about the missing path: no "Alarm clock" from the shell.
# usage: examples_test.sh SOURCE_DIR EVSNAP
set -euo pipefail
src=$1
evsnap=$(realpath "$2")
. "$src/tests/support/lib.sh"
for tool in dash busybox mandoc; do
    command -v "$tool" >/dev/null || { echo "FAIL: needs $tool (apt-get install $tool)"; exit 1; }
done
mkdir "$scratch/bin" "$scratch/examples"
ln -s "$evsnap" "$scratch/bin/evsnap"

# FILE#N DOUBLE: the status, then what standard output says. For the boot
# script, what it leaves in /run/evsnap/boot-key. "waits": still waiting
# after 8 seconds, as -t 0 should.
declare -A want=(
    ["README.md#1 delivers"]="0|button pressed: starting the recovery system"
    ["README.md#1 never"]="0|no button: booting normally"
    ["README.md#1 missing"]="0|no button: booting normally"
    ["README.md#2 delivers"]="0|confirmed"
    ["README.md#2 never"]="0|no answer"
    ["README.md#2 missing"]="0|no answer"
    ["evsnap.1#1 delivers"]="0|button pressed: starting the recovery system"
    ["evsnap.1#1 never"]="0|no button: booting normally"
    ["evsnap.1#1 missing"]="0|no button: booting normally"
    ["evsnap.1#2 delivers"]="0|confirmed"
    ["evsnap.1#2 never"]="0|no answer"
    ["evsnap.1#2 missing"]="0|no answer"
    ["evsnap.1#3 delivers"]="0|0x8001001c"
    ["evsnap.1#3 never"]="waits|"
    ["evsnap.1#3 missing"]="0|"
    ["evsnap.1#4 delivers"]="0|a record: 0x8001001c"
    ["evsnap.1#4 never"]="0|nothing within 1 second"
    ["evsnap.1#4 missing"]="0|no record could be read"
    ["init-premount#1 delivers"]="0|0x8001001c"
    ["init-premount#1 never"]="0|"
    ["init-premount#1 missing"]="0|"
)

# The examples, one file each, named FILE#N.
markdown() { # FILE...: its fenced sh blocks that take evsnap's line
    awk -v dir="$scratch/examples" '
        FNR == 1 { name = FILENAME; sub(/.*\//, "", name); n = 0 }
        /^```sh$/ { inside = 1; text = ""; next }
        inside && /^```$/ {
            inside = 0
            if (text ~ /\$\(evsnap/) { out = dir "/" name "#" ++n; printf "%s", text > out; close(out) }
            next
        }
        inside { text = text $0 "\n" }' "$@"
}
markdown "$src/README.md" "$src"/doc/*.md
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
enter() { key_press "$missing_says" 28; } # KEY_ENTER

# one EXAMPLE DOUBLE SHELL: runs it in a folder of its own, where the device
# paths lead, and checks the outcome.
one() {
    local example=$1 double=$2 shell=$3 dir status out err expected
    dir=$(mktemp -d "$scratch/run.XXXXXX")
    mkdir -p "$dir/input" "$dir/sys/event0/device" "$dir/run"
    echo gpio-keys >"$dir/sys/event0/device/name"
    # Device paths lead to $dir/input/, where the double stands at each one named.
    sed -e "s|/dev/input/|$dir/input/|g" -e "s|/sys/class/input|$dir/sys|g" \
        -e "s|/run/evsnap|$dir/run|g" "$scratch/examples/$example" >"$dir/example.sh"
    local paths # those the example names, or the one the boot script finds in sysfs
    paths=$(grep -o "$dir/input/[A-Za-z0-9_./-]*[A-Za-z0-9]" "$dir/example.sh" | sort -u || true)
    [ -n "$paths" ] || paths=$dir/input/event0
    if [ "$double" != missing ]; then
        for path in $paths; do
            mkdir -p "$(dirname "$path")"
            mkfifo "$path"
            exec 4<>"$path" # held open: evsnap's open goes on, and a read waits
            [ "$double" = never ] || enter >&4
        done
    fi
    status=0
    (cd "$dir" && PATH=$scratch/bin:$PATH timeout 8 $shell example.sh >out 2>err) || status=$?
    exec 4>&-
    out=$(cat "$dir/out")
    [ "$example" != init-premount#1 ] || out=$(cat "$dir/run/boot-key" 2>&1)
    [ "$status" != 124 ] || status=waits
    err=$(cat "$dir/err")
    expected=${want[$example $double]}
    local what="$example, $double double, $shell"
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

# Six at a time: most wait seconds for their alarm, and a loaded machine
# must not stretch one past its bound.
running=0 runs=0
for example in $found; do
    for double in delivers never missing; do
        for shell in dash "busybox ash" bash; do
            if ((running == 6)); then
                wait -n || failed=1
                running=$((running - 1))
            fi
            one "$example" "$double" "$shell" &
            running=$((running + 1)) runs=$((runs + 1))
        done
    done
done
for ((; running > 0; running--)); do
    wait -n || failed=1
done
echo "$runs runs"
finish
