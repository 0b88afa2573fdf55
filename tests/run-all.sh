#!/bin/bash
# Builds and runs every test suite. Installs what a suite needs from Debian's
# packages when run as root; otherwise skips that suite and says why.
set -euo pipefail
cd "$(dirname "$0")/.."

updated=
# need SUITE PACKAGE...: true when the packages are there or could be installed.
need() {
  local suite=$1 missing=()
  shift
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  ((${#missing[@]} == 0)) && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED $suite: needs ${missing[*]} (apt-get install ${missing[*]}, or run as root)"
    return 1
  fi
  [ -n "$updated" ] || { apt-get update -qq && updated=1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

if need host cmake g++ googletest binutils; then
  cmake --workflow --preset host
fi

if need arm cmake g++-arm-linux-gnueabihf qemu-user googletest binutils; then
  cmake --workflow --preset arm
  cmake --workflow --preset arm-static
fi

# Debian packages for amd64 and armhf: the man page linted, both packages built,
# inspected, the binaries run as installed, lintian without errors.
if need packaging cmake g++ g++-arm-linux-gnueabihf qemu-user binutils dpkg-dev lintian mandoc; then
  mandoc -T lint doc/evsnap.1
  bash packaging/build-debs.sh
  bash tests/packages.sh build/packages
fi

# The static ARM evsnap on Debian's armhf kernel under qemu-system-arm. The
# suite fetches the kernel and busybox itself (apt-get download, cached).
if need vm cmake g++-arm-linux-gnueabihf qemu-system-arm cpio python3; then
  cmake --workflow --preset vm
fi

# The benchmark in its quick mode, so it keeps working; a figure never fails it.
if need bench cmake gcc g++ python3 valgrind time binutils; then
  PYTHONDONTWRITEBYTECODE=1 python3 -m unittest discover -s bench -p '*_test.py'
  python3 bench/run.py --quick --json build/bench/quick.json
fi

# Robustness: the suite under ASan and UBSan, a bounded fuzz run, valgrind's
# memcheck over the host binary, clang-tidy and cppcheck over src/.
if need sanitize cmake g++ googletest; then
  cmake --workflow --preset sanitize
fi

if need fuzz cmake g++ clang-14 libclang-rt-14-dev; then
  cmake --workflow --preset fuzz
fi

if need memcheck cmake g++ valgrind python3; then
  cmake --preset host >/dev/null
  cmake --build --preset host --target evsnap
  bash tests/memcheck.sh build/host/evsnap
fi

if need static-analysis cmake g++ clang-tidy-14 cppcheck; then
  bash tests/static-analysis.sh
fi
