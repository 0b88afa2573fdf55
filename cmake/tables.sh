#!/bin/bash
# Writes what follows from targets.txt: CMakePresets.json, and the tables of
# builds in README.md and doc/ (between the lines `<!-- targets.txt: NAME -->`
# and `<!-- end -->`). With --check it writes nothing and fails, showing the
# difference, when a file disagrees with the table.
#   cmake/tables.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
. cmake/targets.sh
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
archive() { echo "evsnap-$version-linux-$(target "$1" release)-static.tar.gz"; }
describe() {
  if [ "$(target "$1" libc)" = musl ]; then
    local flags
    flags=$(target "$1" flags)
    echo "static against musl, $(target "$1" triplet)${flags:+, \`$flags\`}"
  else
    echo "glibc, dynamic: the $(target "$1" debian) Debian package's build"
  fi
}

# kind KIND: "NAME CONFIGURE" for each preset of that kind: a build's suite,
# its virtual machines, its release archive, its Debian package.
kind() {
  local t
  case $1 in
  suite) for t in "${target_names[@]}"; do echo "$t $t"; done ;;
  vm) for t in $(targets vms); do echo "vm-$t $t"; done ;;
  release) for t in $(targets release); do echo "release-$(target "$t" release) $t"; done ;;
  deb) for t in $(targets libc glibc); do echo "deb-$(target "$t" debian) deb-$(target "$t" debian)"; done ;;
  esac
}
# entries KIND [MEMBERS]: a preset of each of KIND, with MEMBERS after its configure preset.
entries() {
  local name configure
  kind "$1" | while read -r name configure; do
    echo "    {\"name\": \"$name\", \"configurePreset\": \"$configure\"${2:-}},"
  done
}
# workflow NAME CONFIGURE BUILD [TEST] [PACKAGE]
workflow() {
  local steps="{\"type\": \"configure\", \"name\": \"$2\"}, {\"type\": \"build\", \"name\": \"$3\"}"
  [ -z "${4:-}" ] || steps+=", {\"type\": \"test\", \"name\": \"$4\"}"
  [ -z "${5:-}" ] || steps+=", {\"type\": \"package\", \"name\": \"$5\"}"
  echo "    {\"name\": \"$1\", \"steps\": [$steps]},"
}
# workflows KIND TEST PACKAGE: a workflow of each of KIND, its steps' presets named
# as it is, with a test step when TEST is yes and a package step when PACKAGE is.
workflows() {
  local name configure
  kind "$1" | while read -r name configure; do
    workflow "$name" "$configure" "$name" "${2:+$name}" "${3:+$name}"
  done
}
# The lines read, the last without its comma.
last() { sed '$ s/,$//'; }

presets() {
  local t
  cat <<'EOF'
{
  "version": 6,
  "cmakeMinimumRequired": {"major": 3, "minor": 25, "patch": 0},
  "configurePresets": [
    {"name": "base", "hidden": true, "binaryDir": "${sourceDir}/build/${presetName}",
     "cacheVariables": {"CMAKE_BUILD_TYPE": "Release", "EVSNAP_WERROR": "ON"}},
    {"name": "cross", "hidden": true, "inherits": "base", "toolchainFile": "${sourceDir}/cmake/cross.cmake"},
    {"name": "deb", "hidden": true, "cacheVariables": {"CMAKE_INSTALL_PREFIX": "/usr", "EVSNAP_DEBIAN_LAYOUT": "ON",
     "BUILD_TESTING": "OFF", "EVSNAP_PACKAGE": "DEB"}},
    {"name": "host", "inherits": "base", "displayName": "This machine, warnings as errors"},
    {"name": "sanitize", "inherits": "base", "displayName": "This machine with AddressSanitizer and UBSan",
     "cacheVariables": {"CMAKE_BUILD_TYPE": "RelWithDebInfo", "EVSNAP_SANITIZE": "ON"}},
    {"name": "fuzz", "inherits": "base", "displayName": "libFuzzer target (clang 14), sanitizers on",
     "cacheVariables": {"CMAKE_BUILD_TYPE": "RelWithDebInfo", "CMAKE_CXX_COMPILER": "clang++-14", "EVSNAP_FUZZ": "ON"}},
EOF
  {
    for t in "${target_names[@]}"; do
      echo "    {\"name\": \"$t\", \"inherits\": \"cross\", \"displayName\": \"$(describe "$t" | tr -d '`'); tests as $(target "$t" cpus)\", \"cacheVariables\": {\"EVSNAP_TARGET\": \"$t\"}},"
    done
    for t in $(targets libc glibc); do
      echo "    {\"name\": \"deb-$(target "$t" debian)\", \"inherits\": [\"deb\", \"$t\"], \"displayName\": \"Debian package for $(target "$t" debian)\"},"
    done
  } | last
  cat <<'EOF'
  ],
  "buildPresets": [
    {"name": "host", "configurePreset": "host"},
    {"name": "sanitize", "configurePreset": "sanitize"},
    {"name": "fuzz", "configurePreset": "fuzz", "targets": ["evsnap_fuzz"]},
EOF
  {
    entries suite
    entries release ', "targets": ["evsnap"]'
    entries vm ', "targets": ["vm"]'
    entries deb
  } | last
  cat <<'EOF'
  ],
  "testPresets": [
    {"name": "suite", "hidden": true, "output": {"outputOnFailure": true, "outputJUnitFile": "junit.xml"},
     "execution": {"jobs": 4, "timeout": 120}, "filter": {"exclude": {"label": "vm"}}},
    {"name": "vm", "hidden": true, "output": {"verbosity": "verbose", "outputJUnitFile": "junit.xml"},
     "filter": {"include": {"label": "vm"}}},
    {"name": "binary", "hidden": true, "output": {"outputOnFailure": true, "outputJUnitFile": "junit.xml"},
     "filter": {"include": {"label": "binary"}}},
    {"name": "host", "inherits": "suite", "configurePreset": "host"},
    {"name": "sanitize", "inherits": "suite", "configurePreset": "sanitize"},
    {"name": "fuzz", "configurePreset": "fuzz", "output": {"verbosity": "verbose"}, "execution": {"timeout": 180},
     "filter": {"include": {"label": "fuzz"}}},
EOF
  {
    entries suite ', "inherits": "suite"'
    entries vm ', "inherits": "vm"'
    entries release ', "inherits": "binary"'
  } | last
  cat <<'EOF'
  ],
  "packagePresets": [
    {"name": "packages", "hidden": true, "packageDirectory": "${sourceDir}/build/packages"},
EOF
  {
    entries release ', "inherits": "packages"'
    entries deb ', "inherits": "packages"'
  } | last
  echo '  ],'
  echo '  "workflowPresets": ['
  {
    workflow host host host host
    workflow sanitize sanitize sanitize sanitize
    workflow fuzz fuzz fuzz fuzz
    workflows suite yes
    workflows vm yes
    workflows release yes yes
    workflows deb "" yes
  } | last
  echo '  ]'
  echo '}'
}

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
  for t in $(targets release); do
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
    local file="\`evsnap_${version}_$(target "$t" debian).deb\` (\`deb-$(target "$t" debian)\`)"
    [ "$(target "$t" libc)" = glibc ] || file="\`$(archive "$t")\` (\`release-$(target "$t" release)\`)"
    # shellcheck disable=SC2046
    echo "| \`$t\` | $(describe "$t") | \`$(target "$t" emulator)\` as $(words $(target "$t" cpus)) | $file |"
  done
}

# doc/testing.md: the suites of the builds, and their machines.
suites() {
  local t
  echo '| suite | what it runs |'
  echo '|---|---|'
  for t in "${target_names[@]}"; do
    # shellcheck disable=SC2046
    echo "| \`$t\` | \`cmake --workflow --preset $t\`: the whole suite, evsnap as $(words $(target "$t" cpus)) |"
  done
  for t in $(targets vms); do
    # shellcheck disable=SC2046
    echo "| \`vm-$t\` | the \`$t\` build on real kernels: $(words $(target "$t" vms)) (below) |"
  done
}

# doc/benchmark.md: the builds measured (bench/run.py reads the same table).
benchmarked() {
  local t
  echo '| build | preset | measured |'
  echo '|---|---|---|'
  echo '| x86_64 glibc dynamic | `host` | every figure |'
  echo '| x86_64 glibc static | `host`, `-DEVSNAP_STATIC=ON` | every figure |'
  for t in $(targets libc musl); do
    local what="size, libraries"
    [ "$(target "$t" triplet)" != "$(uname -m)-linux-gnu" ] || what="every figure"
    echo "| ${t%-musl} musl static | \`$t\` | $what |"
  done
  echo '| armhf glibc dynamic | `armhf-glibc` | size, libraries |'
  echo '| armhf glibc static | `armhf-glibc`, `-DEVSNAP_STATIC=ON` | size, libraries |'
}

# fill FILE NAME: FILE with the table NAME between its markers.
fill() {
  local table
  table=$("$2")
  awk -v name="$2" -v table="$table" '
    $0 == "<!-- targets.txt: " name " -->" { print; print ""; print table; print ""; skip = 1; next }
    skip && $0 == "<!-- end -->" { skip = 0 }
    !skip' "$1"
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
write CMakePresets.json "$(presets)"
write README.md "$(fill README.md downloads)"
write doc/building.md "$(fill doc/building.md builds)"
write doc/testing.md "$(fill doc/testing.md suites)"
write doc/benchmark.md "$(fill doc/benchmark.md benchmarked)"
# File names in the docs carry project()'s version.
if grep -n -o -E 'evsnap[-_][0-9]+\.[0-9]+[-_]' README.md doc/*.md | grep -v -F -e "-${version}-" -e "_${version}_" >&2; then
  echo "file names above are not of version $version (project() in CMakeLists.txt)" >&2
  failed=1
fi
exit "$failed"
