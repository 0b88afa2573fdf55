#!/bin/bash
# Checks that the docs say what the program does: --help, the man page's
# OPTIONS section and the bash completion name the same options, short and
# long, and --version prints the version of the changelog's last entry and of
# the man page's title.
# usage: documented_test.sh SOURCE_DIR MAN_PAGE [EMULATOR...] BINARY
#   MAN_PAGE: the build's, doc/evsnap.1.in with the version put in
set -euo pipefail
src=$1 man_page=$2
shift 2
. "$src/tests/support/lib.sh"

# Option names in text: a dash or two and letters, after a blank or a comma.
names() { grep -oE '(^|[[:space:],])--?[a-z]+' | tr -d ' \t,' | sort -u | xargs; }

help=$("$@" --help | names)
# The tags of the OPTIONS section: the line after each .TP, with \- as -.
man=$(sed -n '/^\.SH OPTIONS/,/^\.SH/p' "$man_page" | sed -n '/^\.TP/{n;p}' |
    sed 's/\\-/-/g; s/\\f[BIRP]//g; s/^\.[A-Z]* //; s/"//g' | names)
# shellcheck source=/dev/null
source "$src/completions/evsnap"
COMP_WORDS=(evsnap -) COMP_CWORD=1
_evsnap
completed=$(printf '%s\n' "${COMPREPLY[@]}" | names)

echo "--help:     $help"
echo "man page:   $man"
echo "completion: $completed"
if [ -z "$help" ] || [ "$help" != "$man" ] || [ "$help" != "$completed" ]; then
    fail "the options differ"
fi

# The version as the program, the changelog and the man page's title say it.
version=$("$@" --version)
changelog=$(sed -n '1s/^\([a-z]*\) (\([^)]*\)).*/\1 \2/p' "$src/debian/changelog")
titled=$(sed -n 's/^\.TH [^"]*"\([^"]*\)".*/\1/p' "$man_page")
echo "--version:  $version; changelog: $changelog; man page: $titled"
[ "$version" = "$changelog" ] || fail "--version says '$version', the changelog '$changelog'"
[ "$version" = "$titled" ] || fail "--version says '$version', the man page '$titled'"
finish
