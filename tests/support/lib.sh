# Sourced by the shell suites (POSIX sh): a tally of failures, and a scratch
# folder in $scratch that goes at exit.
#   fail MESSAGE   says what failed, and the suite goes on
#   finish         ends the suite: status 1 when anything failed
#   record MESSAGE TYPE CODE VALUE [ENDIAN]
#                  one input record, time zero, as long as evsnap's MESSAGE
#                  about a failed read ("... out of N bytes.") says a record
#                  is, in byte order ENDIAN: little (the default) or big
#   key_press MESSAGE CODE [ENDIAN]
#                  the record of a press of key CODE
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
finish() {
  exit "$failed"
}
record() {
  set -- "${1##*out of }" "$2" "$3" "$4" "${5:-little}"
  # An evsnap that died says no size, and head -c -8 would never end.
  case ${1%% bytes.} in '' | *[!0-9]*)
    echo "no record size in evsnap's message: '$1'" >&2
    return 1
    ;;
  esac
  head -c "$((${1%% bytes.} - 8))" /dev/zero
  # The format is nothing but octal escapes.
  printf "$(record_field 2 "$2" "$5")$(record_field 2 "$3" "$5")$(record_field 4 "$4" "$5")"
}
# record_field BYTES NUMBER ENDIAN: NUMBER's low BYTES bytes, as printf's escapes
record_field() {
  record_at=0 record_escapes=
  while [ "$record_at" -lt "$1" ]; do
    record_byte=\\$(printf %03o "$((($2 >> (8 * record_at)) & 255))")
    if [ "$3" = big ]; then
      record_escapes=$record_byte$record_escapes
    else
      record_escapes=$record_escapes$record_byte
    fi
    record_at=$((record_at + 1))
  done
  printf %s "$record_escapes"
}
key_press() {
  record "$1" 1 "$2" 1 "${3:-little}"
}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/evsnap-test-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
