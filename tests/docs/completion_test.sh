#!/bin/bash
# Runs the bash completion for evsnap over a scratch device tree, as bash would
# on <Tab>, and compares what it offers.
# usage: completion_test.sh COMPLETION_FILE
set -u
# shellcheck source=/dev/null
source "$1"

. "$(dirname "$0")/../support/lib.sh"
root=$scratch
mkdir -p "$root/input/by-id" "$root/input/by-path" "$root/files"
touch "$root/input/event0" "$root/input/event3" "$root/input/mice" \
    "$root/input/by-id/usb-Acme_Keyboard-event-kbd" \
    "$root/input/by-path/platform-gpio-keys-event" "$root/files/keys.bin"
_evsnap_input_dir=$root/input
in=$root/input

all_devices="$in/by-id/usb-Acme_Keyboard-event-kbd $in/by-path/platform-gpio-keys-event"
all_devices+=" $in/event0 $in/event3"
options='--help --timeout --version -h -t -v'
timeouts='0 1 10 3 5'

# check WANT WORD...: completes the last WORD (as bash splits the line) and
# expects the words in WANT, in any order.
check() {
    local want=$1 got
    shift
    COMP_WORDS=(evsnap "$@")
    COMP_CWORD=$#
    _evsnap
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    if [ "$got" != "$(printf '%s\n' $want | sort | xargs)" ]; then
        fail "evsnap $*<Tab>: got '$got', want '$want'"
    fi
}

check "$options" -
check '--help --timeout --version' --
check '--timeout' --t
check '--version' --ver
check '-h' -h
check "$timeouts" -t ''
check '1 10' -t 1
check "$timeouts" --timeout ''
check "$timeouts" --timeout =
check '5' --timeout = 5
check "$all_devices" ''
check "$all_devices" -t 3 ''
check "$all_devices" --timeout = 3 ''
check "$all_devices" -- ''
check "$in/event0 $in/event3" "$in/ev"
check "$in/by-path/platform-gpio-keys-event" "$in/by-p"
check "$in/event3" -h "$in/event3"
# One device only: nothing more after it, except options.
check '' "$in/event0" ''
check '' -t 3 "$in/event0" ''
check "$options" "$in/event0" -
# After "--" a word with a dash is a path, not an option.
check '' -- "$in/event0" -
# Anything else is a path like any other.
check "$root/files/keys.bin" "$root/files/k"

finish
