#!/bin/bash
# Builds and runs every test suite, or the suites named:
#   tests/run-all.sh [SUITE...]
# As root it installs what a suite needs from Debian's packages; as another
# user it skips a suite whose packages are missing. It ends with a summary of
# every suite, passed, failed or skipped and why, and fails when one failed.
# Each suite's output is kept in build/test-logs/SUITE.log as well.
set -uo pipefail
cd "$(dirname "$0")/.."

# The Debian packages each suite needs on a bare Debian 12, in the order the
# suites run. cmake only recommends make, so make is named wherever cmake is.
suites=(host arm musl arm-musl release packaging vm bench sanitize fuzz memcheck static-analysis)
declare -A needs=(
  [host]="cmake make g++ googletest"
  [arm]="cmake make binutils g++-arm-linux-gnueabihf qemu-user googletest"
  [musl]="cmake make g++ musl-dev googletest"
  [arm-musl]="cmake make binutils g++-arm-linux-gnueabihf musl-dev:armhf qemu-user googletest"
  [release]="cmake make binutils g++-arm-linux-gnueabihf musl-dev:armhf qemu-user"
  [packaging]="cmake make g++ g++-arm-linux-gnueabihf qemu-user dpkg-dev file lintian mandoc"
  [vm]="cmake make g++-arm-linux-gnueabihf musl-dev:armhf qemu-system-arm cpio python3"
  [bench]="cmake make g++ musl-dev g++-arm-linux-gnueabihf musl-dev:armhf python3 valgrind time strace hyperfine"
  [sanitize]="cmake make g++ googletest"
  [fuzz]="cmake make g++ clang-14 libclang-rt-14-dev"
  [memcheck]="cmake make g++ valgrind python3"
  [static-analysis]="cmake make g++ clang-tidy-14 cppcheck"
)

suite_host() { cmake --workflow --preset host; }
suite_arm() { cmake --workflow --preset arm; }
suite_musl() { cmake --workflow --preset musl; }
suite_arm-musl() { cmake --workflow --preset arm-musl; }
# The archive for boards: built afresh, then inspected.
suite_release() {
  rm -f build/packages/evsnap-*-linux-armhf-static.tar.gz*
  cmake --workflow --preset release-armhf --fresh
  bash tests/archive.sh build/packages/evsnap-*-linux-armhf-static.tar.gz
}
# Debian packages for amd64 and armhf: the man page linted, both packages
# built, inspected, the binaries run as installed, lintian without errors.
suite_packaging() {
  mandoc -T lint doc/evsnap.1
  bash packaging/build-debs.sh
  bash tests/packages.sh build/packages
}
# evsnap on Debian's armhf kernel under qemu-system-arm. It fetches the
# kernel and busybox itself (apt-get download, cached).
suite_vm() { cmake --workflow --preset vm; }
# The benchmark in its quick mode, so that it keeps working; a figure never fails it.
suite_bench() {
  PYTHONDONTWRITEBYTECODE=1 python3 -m unittest discover -s bench -p '*_test.py'
  python3 bench/run.py --quick --json build/bench/quick.json
}
suite_sanitize() { cmake --workflow --preset sanitize; }
suite_fuzz() { cmake --workflow --preset fuzz; }
suite_memcheck() {
  cmake --preset host >/dev/null
  cmake --build --preset host --target evsnap
  bash tests/memcheck.sh build/host/evsnap
}
suite_static-analysis() { bash tests/static-analysis.sh; }

logs=build/test-logs
mkdir -p "$logs"
: >"$logs/apt.log"
updated=

# installed PACKAGE[:ARCH]: for this machine's architecture unless one is named.
installed() {
  local pkg=${1%%:*} arch=${1#*:}
  [ "$arch" != "$1" ] || arch=$(dpkg --print-architecture)
  dpkg-query -W -f='${db:Status-Abbrev}${Architecture}\n' "$pkg" 2>/dev/null | grep -qE "^ii ($arch|all)$"
}

# need SUITE: true when its packages are there or have been installed; else
# says why in `why`.
need() {
  local pkg missing=()
  for pkg in ${needs[$1]}; do
    installed "$pkg" || missing+=("$pkg")
  done
  ((${#missing[@]} == 0)) && return 0
  # Packages named PACKAGE:armhf come from the armhf architecture's lists.
  local add_armhf=
  if [[ " ${missing[*]}" == *:armhf* ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    add_armhf="dpkg --add-architecture armhf && apt-get update && "
  fi
  if [ "$(id -u)" != 0 ]; then
    why="needs ${missing[*]} (${add_armhf}apt-get install ${missing[*]}, or run as root)"
    return 1
  fi
  echo "== $1: installing ${missing[*]}"
  if [ -n "$add_armhf" ]; then
    dpkg --add-architecture armhf
    updated=
  fi
  if [ -z "$updated" ]; then
    apt-get update -qq >>"$logs/apt.log" 2>&1 && updated=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >>"$logs/apt.log" 2>&1 && return 0
  tail -n 20 "$logs/apt.log"
  why="apt-get install ${missing[*]} failed (see $logs/apt.log)"
  return 1
}

chosen=("$@")
((${#chosen[@]})) || chosen=("${suites[@]}")
for name in "${chosen[@]}"; do
  [ -n "${needs[$name]+set}" ] || { echo "unknown suite: $name (suites: ${suites[*]})" >&2; exit 2; }
done

declare -A result
failed=0
for name in "${chosen[@]}"; do
  why=
  if ! need "$name"; then
    # Missing packages fail a run as root, which could have installed them.
    if [ "$(id -u)" = 0 ]; then
      result[$name]="FAILED   $why"
      failed=1
    else
      result[$name]="skipped  $why"
    fi
    echo "== $name: ${result[$name]}"
    continue
  fi
  echo "== $name"
  start=$SECONDS
  (set -e; "suite_$name") 2>&1 | tee "$logs/$name.log"
  status=${PIPESTATUS[0]}
  took="$((SECONDS - start)) s"
  # A suite that cannot run here says "SKIPPED suite: why" and succeeds.
  skipped=$(grep -o 'SKIPPED [a-z-]*: .*' "$logs/$name.log" | head -n 1)
  if [ "$status" != 0 ]; then
    result[$name]="FAILED   status $status after $took; log in $logs/$name.log"
    failed=1
  elif [ -n "$skipped" ]; then
    result[$name]="skipped  ${skipped#*: }"
  else
    result[$name]="passed   $took"
  fi
done

echo
echo "== Summary"
for name in "${chosen[@]}"; do
  printf '%-16s %s\n' "$name" "${result[$name]}"
done
exit "$failed"
