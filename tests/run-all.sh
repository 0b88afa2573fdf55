#!/bin/bash
# Builds and runs every test suite, or the suites named:
#   tests/run-all.sh [SUITE...]
#   tests/run-all.sh --list      each suite and the Debian packages it needs
# As root it installs what a suite needs from Debian's packages; as another
# user it skips a suite whose packages are missing. A check that cannot run
# here exits 77 (CTest: SKIP_RETURN_CODE), and its suite is skipped; as root,
# which could have installed anything and reached the mirror, a skip fails the
# run; a suite that exits 78 lacks what no Debian package holds, and its skip
# never fails the run. It ends with a summary of every suite, passed, failed
# or skipped and why, and fails when one failed. Each suite's output is kept in
# build/test-logs/SUITE.log as well.
set -uo pipefail
cd "$(dirname "$0")/.."
. cmake/targets.sh

# suite NAME PACKAGES COMMAND: a suite, the Debian packages it needs on a bare
# Debian 12 (cmake only recommends make, so make goes wherever cmake does),
# and the command that runs it. They run in the order defined.
suites=()
declare -A needs command
suite() {
  suites+=("$1")
  needs[$1]=$2
  command[$1]=$3
}

# The packages that build every build of targets.txt and run its tests.
every_release_build() {
  local t
  for t in $(targets libc); do target "$t" needs; done | tr ' ' '\n' | sort -u | paste -sd ' '
}
# The docs' examples run in the builds for this machine, under busybox ash too.
native="busybox mandoc"
# What builds a glibc build's Debian package (packaging/build-debs.sh): dh,
# and for dh_shlibdeps its machine's libc6, where this machine's Debian
# release has one (build-debs.sh fetches another release's otherwise).
# git gives it the tree to build.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
package_needs() {
  local t arch
  for t in "$@"; do
    arch=$(target "$t" debian)
    echo "build-essential debhelper dpkg-dev git"
    ! package_releases "$t" | grep -qx "$release" || echo "libc6:$arch"
  done | tr ' ' '\n' | sort -u | paste -sd ' '
}

suite host "cmake make g++ googletest $native" "cmake --workflow --preset host"
# Every build of targets.txt runs the whole suite, evsnap as each of its CPUs;
# a glibc build's in the build of its Debian package, on the binary it packs.
for t in "${target_names[@]}"; do
  extra=
  [ -z "$(target "$t" native)" ] || extra=" $native"
  [ -z "$(target "$t" vms)" ] || extra+=" python3"
  if [ "$(target "$t" libc)" = glibc ]; then
    suite "$t" "$(target "$t" needs) googletest $(package_needs "$t")$extra" \
      "bash packaging/build-debs.sh --check $(target "$t" debian)"
  else
    suite "$t" "$(target "$t" needs) googletest$extra" "cmake --workflow --preset $t"
  fi
done
# Every release file (packaging/build-release.sh), built afresh and inspected,
# the man page linted, and SHA256SUMS over them all; git tells which commit they are of.
suite release "$(every_release_build) $(package_needs $(targets libc glibc)) file git lintian mandoc busybox systemd autopkgtest mmdebstrap debian-archive-keyring" suite_release
suite_release() {
  mandoc -T lint doc/evsnap.1.in
  bash packaging/build-release.sh
  local archive
  for archive in build/packages/evsnap-*-static.tar.gz; do
    bash tests/release/archive_test.sh "$archive"
  done
  bash tests/release/packages_test.sh build/packages
  bash tests/release/sums_test.sh build/packages
}
# Every release file built twice from two clones, and compared.
suite reproducible "$(every_release_build) $(package_needs $(targets libc glibc)) file git diffoscope-minimal" \
  "bash tests/release/reproducible_test.sh"
# The amd64 package in bare Debian 13 and 12 roots with their kernels: the
# initramfs its trigger makes, the example boot script in it, and a boot under QEMU.
suite initramfs "cmake make binutils g++ $(package_needs "$(package_build "$evsnap_host_arch")") file mmdebstrap debian-archive-keyring qemu-system-x86 python3 python3-pexpect" \
  "bash packaging/build-debs.sh amd64 && bash tests/release/initramfs_test.sh build/packages/evsnap_*_amd64.deb"
# evsnap on real kernels in the virtual machines targets.txt names. The driver
# fetches each kernel and busybox itself (apt-get download, cached).
for t in $(targets vms); do
  suite "vm-$t" "$(target "$t" needs) $(target "$t" vm-qemu) cpio device-tree-compiler kmod python3 python3-pexpect" \
    "cmake --workflow --preset vm-$t"
done
# The benchmark in its quick mode, so that it keeps working; a figure never fails it.
suite bench "$(every_release_build) python3 valgrind strace hyperfine" \
  "PYTHONDONTWRITEBYTECODE=1 python3 -m unittest discover -s bench -p '*_test.py' &&
   python3 bench/run.py --quick --json build/bench/quick.json"
# The Buildroot package and the Yocto layer with those build systems' own
# tools, from the trees in EVSNAP_UPSTREAM, and the build their recipes run,
# for one cross build. Its skip without the trees (78) does not fail as root.
# Buildroot's tools, then the host tools bitbake wants.
recipes_build=armhf-glibc
recipes_needs="gcc g++ xz-utils python3 python3-magic flake8"
recipes_needs+=" bzip2 chrpath cpio diffstat file gawk git locales lz4 patch rpcsvc-proto texinfo wget zstd"
suite recipes "$(target $recipes_build needs) $recipes_needs" "bash tests/recipes/recipes_test.sh $recipes_build"
suite sanitize "cmake make g++ googletest $native" "cmake --workflow --preset sanitize"
suite fuzz "cmake make g++ clang-14 libclang-rt-14-dev" "cmake --workflow --preset fuzz"
suite memcheck "cmake make g++ valgrind" \
  "cmake --preset host >/dev/null && cmake --build --preset host --target evsnap &&
   bash tests/robustness/memcheck_test.sh build/host/evsnap"
suite static-analysis "cmake make g++ clang-tidy-14 cppcheck" "bash tests/robustness/static_analysis_test.sh"

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
root=
[ "$(id -u)" != 0 ] || root=1

# installed PACKAGE[:ARCH]: for this machine's architecture unless one is named.
installed() {
  local pkg=${1%%:*} arch=${1#*:}
  [ "$arch" != "$1" ] || arch=$evsnap_host_arch
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
  if [ -z "$root" ]; then
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

# ctest_skips SINCE: the tests CTest skipped in the JUnit files its test
# presets wrote after SINCE (a file), one line each.
ctest_skips() {
  local file
  find build -name junit.xml -newer "$1" 2>/dev/null | while read -r file; do
    tr '>' '\n' <"$file" | sed -n 's/.*<testcase name="\([^"]*\)".*status="notrun".*/\1/p'
  done
}

chosen=("$@")
((${#chosen[@]})) || chosen=("${suites[@]}")
for name in "${chosen[@]}"; do
  [ -n "${needs[$name]+set}" ] || { echo "unknown suite: $name (suites: ${suites[*]})" >&2; exit 2; }
done

declare -A result
failed=0
# A suite that cannot run fails the run as root, which could have made it run.
skip() {
  if [ -n "$root" ]; then
    result[$name]="FAILED   skipped as root: $1"
    failed=1
  else
    result[$name]="skipped  $1"
  fi
}
for name in "${chosen[@]}"; do
  why=
  if ! need "$name"; then
    skip "$why"
    echo "== $name: ${result[$name]}"
    continue
  fi
  echo "== $name"
  start=$SECONDS
  touch "$logs/$name.start"
  (set -e; eval "${command[$name]}") 2>&1 | tee "$logs/$name.log"
  status=${PIPESTATUS[0]}
  took="$((SECONDS - start)) s"
  skipped=$(ctest_skips "$logs/$name.start" | paste -sd ' ')
  if [ "$status" = 77 ]; then
    skip "$(tail -n 1 "$logs/$name.log")"
  elif [ "$status" = 78 ]; then
    result[$name]="skipped  $(tail -n 1 "$logs/$name.log"); no Debian package has them, so not failed as root"
  elif [ "$status" != 0 ]; then
    result[$name]="FAILED   status $status after $took; log in $logs/$name.log"
    failed=1
  elif [ -n "$skipped" ]; then
    skip "CTest skipped $skipped (log in $logs/$name.log)"
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
