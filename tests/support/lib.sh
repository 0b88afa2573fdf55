# Sourced by the shell suites (POSIX sh): a tally of failures, and a scratch
# folder in $scratch that goes at exit.
#   fail MESSAGE   says what failed, and the suite goes on
#   finish         ends the suite: status 1 when anything failed
#   key_press MESSAGE CODE
#                  one record of a press of key CODE, time zero, as long as
#                  evsnap's MESSAGE about a failed read ("... out of N bytes.")
#                  says a record is; little-endian, as the machines are
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
finish() {
  exit "$failed"
}
key_press() {
  set -- "${1##*out of }" "$2"
  head -c "$((${1%% bytes.} - 8))" /dev/zero
  printf "\\001\\000\\$(printf %03o "$2")\\000\\001\\000\\000\\000"
}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/evsnap-test-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
