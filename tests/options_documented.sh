#!/bin/bash
# Checks that --help, the man page's OPTIONS section and the bash completion
# name the same options, short and long.
# usage: options_documented.sh MAN_PAGE COMPLETION_FILE [EMULATOR...] BINARY
set -euo pipefail
man_page=$1 completion=$2
shift 2

# Option names in text: a dash or two and letters, after a blank or a comma.
names() { grep -oE '(^|[[:space:],])--?[a-z]+' | tr -d ' \t,' | sort -u | xargs; }

help=$("$@" --help | names)
# The tags of the OPTIONS section: the line after each .TP, with \- as -.
man=$(sed -n '/^\.SH OPTIONS/,/^\.SH/p' "$man_page" | sed -n '/^\.TP/{n;p}' |
    sed 's/\\-/-/g; s/\\f[BIRP]//g; s/^\.[A-Z]* //; s/"//g' | names)
# shellcheck source=/dev/null
source "$completion"
COMP_WORDS=(evsnap -) COMP_CWORD=1
_evsnap
completed=$(printf '%s\n' "${COMPREPLY[@]}" | names)

echo "--help:     $help"
echo "man page:   $man"
echo "completion: $completed"
if [ -z "$help" ] || [ "$help" != "$man" ] || [ "$help" != "$completed" ]; then
    echo "the options differ"
    exit 1
fi
