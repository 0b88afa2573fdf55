#!/bin/bash
# musl for a machine whose Debian musl-dev does not fit its oldest CPU, or
# which has none: Debian 12's own source package of musl, with Debian's
# patches, built static by Debian's cross compiler TRIPLET-gcc with the
# build's baseline flags. Prints the prefix: include/, lib/libc.a and the crt
# files, and bin/musl-gcc, the wrapper that links against them.
# usage: build-musl.sh TRIPLET "FLAGS"
#
# Everything is cached outside the source tree, keyed by musl's version, the
# triplet and the flags: EVSNAP_MUSL_CACHE, else /var/cache/evsnap/musl for
# root and for any user once root has built there (the reproducible build's
# second user reads it), else ~/.cache/evsnap/musl. The source is fetched once
# with a private apt configuration (its own sources, lists and cache, so the
# machine's dpkg architectures and apt sources stay as they are);
# EVSNAP_MUSL_REFRESH=1 fetches it anew.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 TRIPLET \"FLAGS\"" >&2; exit 2; }
triplet=$1 flags=$2
suite=bookworm # Debian 12
umask 022       # readable by the users who build after root

cache=${EVSNAP_MUSL_CACHE:-}
if [ -z "$cache" ]; then
  cache=/var/cache/evsnap/musl
  if [ "$(id -u)" != 0 ] && [ ! -w "$cache" ] && [ ! -r "$cache/source/version" ]; then
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/evsnap/musl
  fi
fi

# The source, fetched on first use: source/version names the unpacked tree.
fetch() {
  local apt=$cache/apt uris
  mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$cache/source"
  # deb-src lines for the Debian 12 archives the machine takes packages from.
  # shellcheck disable=SC2016 # apt's own $(FIELD)s
  uris=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk -v suite="$suite" '$2 ~ "^" suite "(-|$)"' | sort -u)
  [ -n "$uris" ] || uris="http://deb.debian.org/debian $suite"
  echo "$uris" | sed 's/^/deb-src /; s/$/ main/' >"$apt/sources.list"
  cat >"$apt/apt.conf" <<EOF
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/none";
Dir::State::Lists "$apt/lists";
Dir::Cache "$apt";
APT::Sandbox::User "$(id -un)";
EOF
  export APT_CONFIG=$apt/apt.conf
  apt-get -qq update >&2
  rm -rf "$cache/source/unpack"
  mkdir "$cache/source/unpack"
  (cd "$cache/source/unpack" && apt-get -q source musl >&2) # dpkg-source -x: Debian's patches applied
  # Named by the Debian version: musl-1.2.3-1.
  local dsc
  dsc=$(cd "$cache/source/unpack" && ls musl_*.dsc)
  dsc=${dsc%.dsc}
  rm -rf "$cache/source/musl-${dsc#*_}"
  mv "$cache/source/unpack"/musl-*/ "$cache/source/musl-${dsc#*_}"
  rm -rf "$cache/source/unpack"
  echo "musl-${dsc#*_}" >"$cache/source/version"
}

mkdir -p "$cache" 2>/dev/null || true
if [ "${EVSNAP_MUSL_REFRESH:-}" ] || [ ! -r "$cache/source/version" ]; then
  exec 9>"$cache/lock"
  flock 9
  if [ "${EVSNAP_MUSL_REFRESH:-}" ] || [ ! -r "$cache/source/version" ]; then fetch; fi
fi
source=$cache/source/$(cat "$cache/source/version")
# -march=mips32 -msoft-float: march-mips32-msoft-float
prefix=$cache/${source##*/}/$triplet/$(echo "${flags:-default}" | tr -cs 'a-zA-Z0-9.\n' - | sed 's/^-//')
if [ -e "$prefix/done" ]; then
  echo "$prefix"
  exit 0
fi

if [ ! -w "$cache" ]; then
  echo "musl for $triplet with $flags is not in $cache: build it there once as root" >&2
  exit 1
fi
exec 9>"$cache/lock"
flock 9
if [ ! -e "$prefix/done" ]; then
  echo "musl: building ${source##*/} for $triplet with $flags" >&2
  work=$(mktemp -d "$cache/build-XXXXXX")
  trap 'rm -rf "$work"' EXIT
  rm -rf "$prefix"
  # musl's configure reads CROSS_COMPILE and CC; its size options stay its own.
  if ! (cd "$work" && "$source/configure" --prefix="$prefix" --target="$triplet" --disable-shared \
    CROSS_COMPILE="$triplet-" CC="$triplet-gcc" CFLAGS="$flags" &&
    nice make -j"$(nproc)" && make install) >"$work/log" 2>&1; then
    tail -n 30 "$work/log" >&2
    exit 1
  fi
  touch "$prefix/done"
fi
echo "$prefix"
