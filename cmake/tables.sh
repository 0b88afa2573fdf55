#!/bin/bash
# Writes what follows from targets.txt: the presets of its builds,
# cmake/presets/builds.json (by cmake/presets.cmake), and the tables of builds
# in README.md and doc/ (between the lines `<!-- MARK NAME -->` and
# `<!-- end -->`). With --check it writes nothing and fails, showing the
# difference, when a file disagrees with the table. The docs are the same on
# every machine: they show one that builds on amd64.
#   cmake/tables.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
export evsnap_host_arch=amd64
. cmake/targets.sh
mark="bash cmake/tables.sh writes this from targets.txt:"
version=$(sed -n 's/^project(evsnap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# words A B C: `A`, `B` and `C`.
words() {
  local out= i
  for ((i = 1; i <= $#; i++)); do
    if ((i > 1)); then
      if ((i == $#)); then out+=" and "; else out+=", "; fi
    fi
    out+="\`${!i}\`"
  done
  echo "$out"
}
archive() { echo "evsnap-$version-linux-$(target "$1" archive)-static.tar.gz"; }

# The README's download table.
downloads() {
  local t boards
  echo '| the board runs | it says | take |'
  echo '|---|---|---|'
  # The packages, a row for each set of Debian releases, in the table's order.
  targets libc glibc | while read -r t; do target "$t" boards; done | awk '!seen[$0]++' |
    while read -r boards; do
      # shellcheck disable=SC2046
      echo "| $boards | \`dpkg --print-architecture\`: $(words $(targets boards "$boards" |
        while read -r t; do target "$t" debian; done)) | \`evsnap_${version}_ARCH.deb\` |"
    done
  for t in $(targets archive); do
    # shellcheck disable=SC2046
    echo "| $(target "$t" boards) | \`uname -m\`: $(words $(target "$t" uname)) | \`$(archive "$t")\` |"
  done
}

# doc/building.md: every build's preset.
builds() {
  local t
  echo '| preset | evsnap | evsnap runs in the tests as | release file |'
  echo '|---|---|---|---|'
  echo '| `host` | this machine, glibc, dynamic | this machine | |'
  for t in "${target_names[@]}"; do
    local file="\`evsnap_${version}_$(target "$t" debian).deb\` (\`build-debs.sh $(target "$t" debian)\`)"
    [ "$(target "$t" libc)" = glibc ] || file="\`$(archive "$t")\` (\`release-$(target "$t" archive)\`)"
    # shellcheck disable=SC2046
    echo "| \`$t\` | $(target "$t" summary) | \`$(target "$t" emulator)\` as $(words $(target "$t" cpus)) | $file |"
  done
}

# doc/testing.md: the suites of the builds, and their machines.
suites() {
  local t
  echo '| suite | what it runs |'
  echo '|---|---|'
  for t in "${target_names[@]}"; do
    local run="\`cmake --workflow --preset $t\`: the whole suite"
    [ "$(target "$t" libc)" != glibc ] ||
      run="\`packaging/build-debs.sh --check $(target "$t" debian)\`: its package's build, and in it the whole suite on the binary it packs"
    # shellcheck disable=SC2046
    echo "| \`$t\` | $run, evsnap as $(words $(target "$t" cpus)) |"
  done
  for t in $(targets vms); do
    # shellcheck disable=SC2046
    echo "| \`vm-$t\` | the \`$t\` build on real kernels: $(words $(target "$t" vms)) (below) |"
  done
}

# doc/benchmark.md: the builds bench/run.py measures.
benchmarked() {
  local name preset static native most tools
  echo '| build | preset | measured |'
  echo '|---|---|---|'
  while IFS='|' read -r name preset static native most tools; do
    echo "| $name | \`$preset\`$([ "$static" = OFF ] || echo ', `-DEVSNAP_STATIC=ON`') | $([ -n "$native" ] && echo every figure || echo size, libraries) |"
  done < <(bench_builds)
}

# The README's install commands, for the first archive.
installs() {
  local first
  first=$(archive "$(targets archive | head -n 1)")
  echo '```sh'
  echo "grep $first SHA256SUMS | sha256sum -c -"
  echo "sha256sum -c $first.sha256"
  echo "tar -xzf $first"
  echo "scp -O ${first%.tar.gz}/bin/evsnap root@board:/usr/bin/"
  echo "tar -xzf $first -C rootfs/usr --strip-components=1"
  echo '```'
}

# The README's install commands, for the first package.
package_installs() {
  local deb
  deb=evsnap_${version}_$(target "$(targets libc glibc | head -n 1)" debian).deb
  echo '```sh'
  echo "grep $deb SHA256SUMS | sha256sum -c -"
  echo "apt install ./$deb"
  echo '```'
}

# doc/building.md: what each archive's preset needs, the first one's example.
releases() {
  local t first
  first=$(targets archive | head -n 1)
  echo '```sh'
  [[ $(target "$first" compilers) != *:* ]] || echo "dpkg --add-architecture $(target "$first" debian) && apt-get update &&"
  echo "    apt-get install -y --no-install-recommends cmake make binutils $(target "$first" compilers)"
  echo "cmake --workflow --preset release-$(target "$first" archive)   # build/$first/evsnap, checked"
  echo '```'
  echo
  echo '| preset | needs, besides `cmake make` |'
  echo '|---|---|'
  for t in $(targets archive); do
    local add=
    [[ $(target "$t" compilers) != *:* ]] || add=" (after \`dpkg --add-architecture $(target "$t" debian)\`)"
    echo "| \`release-$(target "$t" archive)\` | \`binutils $(target "$t" compilers)\`$add |"
  done
}

# doc/building.md: what packaging/build-debs.sh needs.
debs() {
  local t compilers=
  for t in $(targets libc glibc); do compilers+=" $(target "$t" compilers)"; done
  echo "It needs \`build-essential debhelper dpkg-dev git$compilers\`, and for each"
  echo "architecture \`libc6:ARCH\` (after \`dpkg --add-architecture ARCH\`), where the"
  echo "machine's Debian release has it."
}

# fill NAME: the text read with the table NAME between its markers.
fill() {
  local table
  table=$("$1")
  awk -v mark="$mark" -v name="$1" -v table="$table" '
    $0 == "<!-- " mark " " name " -->" { print; print ""; print table; print ""; skip = 1; next }
    skip && $0 == "<!-- end -->" { skip = 0 }
    !skip'
}

check=
[ "${1:-}" != --check ] || check=1
failed=0
# write FILE CONTENT
write() {
  if [ -n "$check" ]; then
    if ! diff -u "$1" - <<<"$2" >&2; then
      echo "$1 disagrees with targets.txt: run cmake/tables.sh" >&2
      failed=1
    fi
  elif [ "$(cat "$1")" != "$2" ]; then
    printf '%s\n' "$2" >"$1"
    echo "wrote $1"
  fi
}
presets=$(mktemp)
trap 'rm -f "$presets"' EXIT
cmake -DOUT="$presets" -P cmake/presets.cmake
write cmake/presets/builds.json "$(cat "$presets")"
write README.md "$(fill downloads <README.md | fill installs | fill package_installs)"
write doc/building.md "$(fill builds <doc/building.md | fill releases | fill debs)"
write doc/testing.md "$(fill suites <doc/testing.md)"
write doc/benchmark.md "$(fill benchmarked <doc/benchmark.md)"
# File names in the docs carry project()'s version.
if grep -n -o -E 'evsnap[-_][0-9]+\.[0-9]+[-_]' README.md doc/*.md | grep -v -F -e "-${version}-" -e "_${version}_" >&2; then
  echo "file names above are not of version $version (project() in CMakeLists.txt)" >&2
  failed=1
fi
exit "$failed"
