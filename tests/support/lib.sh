# Sourced by the shell suites (POSIX sh): a tally of failures, and a scratch
# folder in $scratch that goes at exit.
#   fail MESSAGE   says what failed, and the suite goes on
#   finish         ends the suite: status 1 when anything failed
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
finish() {
  exit "$failed"
}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/evsnap-test-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
