#!/bin/bash
# Builds and runs every test suite, or the suites named:
#   tests/run-all.sh [SUITE...]
#   tests/run-all.sh --list      each suite and the Debian packages it needs
# As root it installs what a suite needs from Debian's packages; as another
# user it skips a suite whose packages are missing. It ends with a summary of
# every suite, passed, failed or skipped and why, and fails when one failed.
# Each suite's output is kept in build/test-logs/SUITE.log as well.
set -uo pipefail
cd "$(dirname "$0")/.."

# The Debian packages each suite needs on a bare Debian 12, in the order the
# suites run. cmake only recommends make, so make is named wherever cmake is;
# the VM tests, registered in the static ARM builds, need Python to configure;
# the docs' examples run in the builds for this machine, under busybox ash too.
suites=(host armhf armel arm64 x86_64 arm aarch64 release reproducible initramfs vm-arm vm-aarch64
  bench sanitize fuzz memcheck static-analysis)
declare -A needs=(
  [host]="cmake make g++ googletest busybox mandoc"
  [armhf]="cmake make binutils g++-arm-linux-gnueabihf qemu-user googletest"
  [armel]="cmake make binutils g++-arm-linux-gnueabi qemu-user googletest"
  [arm64]="cmake make binutils g++-aarch64-linux-gnu qemu-user googletest"
  [x86_64]="cmake make g++ musl-dev googletest busybox mandoc"
  [arm]="cmake make binutils g++-arm-linux-gnueabi musl-dev:armel qemu-user python3 googletest"
  [aarch64]="cmake make binutils g++-aarch64-linux-gnu musl-dev:arm64 qemu-user python3 googletest"
  [release]="cmake make binutils g++ musl-dev g++-arm-linux-gnueabihf g++-arm-linux-gnueabi musl-dev:armel g++-aarch64-linux-gnu musl-dev:arm64 qemu-user dpkg-dev file lintian mandoc"
  [reproducible]="cmake make binutils g++ musl-dev g++-arm-linux-gnueabihf g++-arm-linux-gnueabi musl-dev:armel g++-aarch64-linux-gnu musl-dev:arm64 dpkg-dev file git diffoscope-minimal"
  [initramfs]="cmake make binutils g++ dpkg-dev file mmdebstrap qemu-system-x86 python3"
  [vm-arm]="cmake make g++-arm-linux-gnueabi musl-dev:armel qemu-system-arm cpio device-tree-compiler python3"
  [vm-aarch64]="cmake make g++-aarch64-linux-gnu musl-dev:arm64 qemu-system-arm cpio python3"
  [bench]="cmake make g++ musl-dev g++-arm-linux-gnueabihf g++-arm-linux-gnueabi musl-dev:armel g++-aarch64-linux-gnu musl-dev:arm64 python3 valgrind strace hyperfine"
  [sanitize]="cmake make g++ googletest busybox mandoc"
  [fuzz]="cmake make g++ clang-14 libclang-rt-14-dev"
  [memcheck]="cmake make g++ valgrind python3"
  [static-analysis]="cmake make g++ clang-tidy-14 cppcheck"
)

# Every build runs the whole suite under its workflow preset; the arm one on
# ARM926 and on ARM1176, the oldest 32-bit ARM CPUs QEMU has.
suite_host() { cmake --workflow --preset host; }
suite_armhf() { cmake --workflow --preset armhf; }
suite_armel() { cmake --workflow --preset armel; }
suite_arm64() { cmake --workflow --preset arm64; }
suite_x86_64() { cmake --workflow --preset x86_64; }
suite_arm() { cmake --workflow --preset arm; }
suite_aarch64() { cmake --workflow --preset aarch64; }
# Every release file (packaging/build-release.sh): the archives for boards and
# the Debian packages, built afresh and inspected, the man page linted, and
# SHA256SUMS over them all.
suite_release() {
  mandoc -T lint doc/evsnap.1
  bash packaging/build-release.sh
  local archive
  for archive in build/packages/evsnap-*-static.tar.gz; do
    bash tests/release/archive_test.sh "$archive"
  done
  bash tests/release/packages_test.sh build/packages
  bash tests/release/sums_test.sh build/packages
}
# Every release file built twice from two clones, and compared.
suite_reproducible() { bash tests/release/reproducible_test.sh; }
# The amd64 package in a bare Debian 12 with its kernel: the initramfs its
# trigger makes, the example boot script in it, and a boot under QEMU.
suite_initramfs() {
  bash packaging/build-debs.sh amd64
  bash tests/release/initramfs_test.sh build/packages/evsnap_*_amd64.deb
}
# evsnap on real kernels under qemu-system-arm and qemu-system-aarch64. The
# driver fetches each kernel and busybox itself (apt-get download, cached).
suite_vm-arm() { cmake --workflow --preset vm-arm; }
suite_vm-aarch64() { cmake --workflow --preset vm-aarch64; }
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
  bash tests/robustness/memcheck_test.sh build/host/evsnap
}
suite_static-analysis() { bash tests/robustness/static_analysis_test.sh; }

if [ "${1:-}" = --list ]; then
  for name in "${suites[@]}"; do
    printf '%-16s %s\n' "$name" "${needs[$name]}"
  done
  exit 0
fi

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
  # Packages named PACKAGE:ARCH come from that architecture's lists.
  local arch archs=() add=
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*://p' | sort -u); do
    dpkg --print-foreign-architectures | grep -qx "$arch" || archs+=("$arch")
  done
  for arch in "${archs[@]}"; do
    add+="dpkg --add-architecture $arch && "
  done
  [ -z "$add" ] || add+="apt-get update && "
  if [ "$(id -u)" != 0 ]; then
    why="needs ${missing[*]} (${add}apt-get install ${missing[*]}, or run as root)"
    return 1
  fi
  echo "== $1: installing ${missing[*]}"
  for arch in "${archs[@]}"; do
    dpkg --add-architecture "$arch"
    updated=
  done
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
