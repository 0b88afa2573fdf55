# The one reader of the table of builds, targets.txt, and of what follows from
# it. It needs nothing but bash, so a bare machine reads it before installing
# anything. Source it in bash, or run it for the whole table as JSON (CMake's
# cmake/targets.cmake and bench/run.py read that):
#   targets [KEY [VALUE]]  the builds in the table's order; with KEY, those that
#                          have one; with VALUE too, those whose KEY is VALUE
#   target NAME KEY        NAME's value of KEY, empty when it has none
#   target_of KEY VALUE    the first build whose KEY is VALUE
#   package_build ARCH     the glibc build whose Debian package is for ARCH
#   package_releases NAME  the Debian releases its package is for, the code
#                          names in parentheses in its boards, oldest first
#   bash cmake/targets.sh --json
# Each build's derived keys, as if the table had them (the machine that builds
# is evsnap_host_arch, a Debian architecture, by default this one's):
#   processor      the triplet's first field
#   musl-triplet   musl's triplet, gnu as musl (arm-linux-gnueabi: arm-linux-musleabi)
#   compiler       the Debian package of its g++ (TRIPLET-g++)
#   musl-dev       the Debian package of musl's gcc wrapper, unless musl is built from source
#   compilers      the Debian packages of its compilers (and of what builds its musl)
#   needs          the Debian packages that build it and run its tests
#   vm-qemu        the Debian package of the qemu-system its virtual machines run
#   native         yes when it is this machine's build
#   summary        how it is built, in words
#   bench          what the benchmark measures of it (every musl build: static)
#   older          for an ARM build, the machines `uname -m` names of boards of
#                  an older ARM, the release archive for them (older-archive)
#                  and the ARM it needs (older-cpu-arch)
# and of the table, the benchmark's builds: bench_builds.
declare -gA target_table=()
target_names=()
evsnap_targets_file=${evsnap_targets_file:-$(dirname "${BASH_SOURCE[0]}")/../targets.txt}
evsnap_host_arch=${evsnap_host_arch:-$(dpkg --print-architecture 2>/dev/null)}
{
  target_section=
  while read -r target_key target_value; do
    case $target_key in
    '' | '#'*) ;;
    '['*']')
      target_section=${target_key:1:-1}
      target_names+=("$target_section")
      ;;
    *) target_table[$target_section.$target_key]=$target_value ;;
    esac
  done
} <"$evsnap_targets_file"
unset target_section target_key target_value

target() {
  printf '%s\n' "${target_table[$1.$2]-}"
}

targets() {
  local name value
  for name in "${target_names[@]}"; do
    value=${target_table[$name.${1:-}]-}
    if [ -z "${1:-}" ] || { [ -n "$value" ] && { [ $# -lt 2 ] || [ "$value" = "$2" ]; }; }; then
      echo "$name"
    fi
  done
}

target_of() {
  targets "$1" "$2" | head -n 1
}

package_build() {
  local name
  for name in $(targets libc glibc); do
    [ "${target_table[$name.debian]}" != "$1" ] || echo "$name"
  done
}

package_releases() {
  target "$1" boards | grep -o '([a-z]*)' | tr -d '()'
}

# derive NAME KEY VALUE: KEY of NAME, unless the table gives it.
derive() { [ -n "${target_table[$1.$2]+set}" ] || target_table[$1.$2]=$3; }
for target_name in "${target_names[@]}"; do
  target_triplet=${target_table[$target_name.triplet]}
  target_arch=${target_table[$target_name.debian]}
  derive "$target_name" processor "${target_triplet%%-*}"
  if [ "$target_arch" = "$evsnap_host_arch" ]; then
    derive "$target_name" native yes
    derive "$target_name" compiler g++
  else
    derive "$target_name" compiler "g++-$target_triplet"
  fi
  target_compilers=${target_table[$target_name.compiler]}
  if [ "${target_table[$target_name.libc]}" = musl ]; then
    derive "$target_name" musl-triplet "${target_triplet/-gnu/-musl}"
    derive "$target_name" bench static
    if [ "${target_table[$target_name.musl]-}" = source ]; then
      target_compilers+=" dpkg-dev" # cmake/build-musl.sh: apt-get source unpacks with dpkg-source
    else
      if [ "$target_arch" = "$evsnap_host_arch" ]; then
        derive "$target_name" musl-dev musl-dev
      else
        derive "$target_name" musl-dev "musl-dev:$target_arch"
      fi
      target_compilers+=" ${target_table[$target_name.musl-dev]}"
    fi
  fi
  derive "$target_name" compilers "$target_compilers"
  target_needs="cmake make binutils $target_compilers"
  [ -z "${target_table[$target_name.emulator]-}" ] || target_needs+=" qemu-user"
  derive "$target_name" needs "$target_needs"
  if [ "${target_table[$target_name.libc]}" = musl ]; then
    target_flags=${target_table[$target_name.flags]-}
    derive "$target_name" summary "static against musl, $target_triplet${target_flags:+, \`$target_flags\`}"
  else
    derive "$target_name" summary "glibc, dynamic: the $target_arch Debian package's build"
  fi
  # Debian's packages of qemu-system-MACHINE, the program a machine's VMs run.
  if [ -n "${target_table[$target_name.vms]-}" ]; then
    case ${target_table[$target_name.emulator]#qemu-} in
    arm | aarch64) derive "$target_name" vm-qemu qemu-system-arm ;;
    mips*) derive "$target_name" vm-qemu qemu-system-mips ;;
    i386 | x86_64) derive "$target_name" vm-qemu qemu-system-x86 ;;
    ppc*) derive "$target_name" vm-qemu qemu-system-ppc ;;
    sparc*) derive "$target_name" vm-qemu qemu-system-sparc ;;
    *) derive "$target_name" vm-qemu qemu-system-misc ;;
    esac
  fi
done
# A build for an ARM (cpu-arch vN) newer than boards that `uname -m` calls
# armvM, M < N: the archive for them, and the ARM it needs.
for target_name in $(targets cpu-arch); do
  target_arch=${target_table[$target_name.cpu-arch]#v}
  for target_release in $(targets archive); do
    for target_machine in ${target_table[$target_release.uname]-}; do
      if [[ $target_machine =~ ^armv([0-9]+) ]] && ((BASH_REMATCH[1] < ${target_arch%%[!0-9]*})); then
        target_table[$target_name.older]+=" $target_machine"
        derive "$target_name" older-archive "${target_table[$target_release.archive]}"
        derive "$target_name" older-cpu-arch "${target_table[$target_release.cpu-arch]}"
      fi
    done
  done
  [ -z "${target_table[$target_name.older]-}" ] || target_table[$target_name.older]=${target_table[$target_name.older]# }
done
unset target_name target_triplet target_arch target_needs target_compilers target_flags target_release target_machine

# bench_builds: a line for each build the benchmark measures, as doc/benchmark.md
# lists it: "NAME|PRESET|STATIC|NATIVE|MOST|TOOLS": STATIC ON for a glibc build
# linked static; NATIVE yes when it runs here, for every figure; MOST the
# stripped bytes a musl build may have; TOOLS "PROGRAM=PACKAGE ...". This
# machine's glibc build dynamic and static (preset host), then the musl
# builds, then the glibc builds the table has measured.
bench_builds() {
  local machine t how libc tools
  t=$(target_of native yes)
  if [ -n "$t" ]; then machine=$(target "$t" processor); else machine=$(uname -m); fi
  echo "$machine glibc dynamic|host|OFF|yes||c++=g++"
  echo "$machine glibc static|host|ON|yes||c++=g++"
  for libc in musl glibc; do
    for t in $(targets libc "$libc"); do
      tools="$(target "$t" triplet)-g++=$(target "$t" compiler)"
      [ -z "$(target "$t" musl-dev)" ] || tools+=" $(target "$t" musl-triplet)-gcc=$(target "$t" musl-dev)"
      for how in $(target "$t" bench); do
        if [ "$libc" = musl ]; then
          echo "${t%-musl} musl $how|$t|OFF|$(target "$t" native)|$(target "$t" max-bytes)|$tools"
        else
          echo "${t%-glibc} glibc $how|$t|$([ "$how" = static ] && echo ON || echo OFF)|$(target "$t" native)||$tools"
        fi
      done
    done
  done
}

# json TEXT: appends TEXT to out, as a JSON string.
json() {
  local s=${1//\\/\\\\}
  s=${s//\"/\\\"}
  out+="\"${s//$'\t'/\\t}\""
}

# targets_json: {"names": [NAME, ...], "builds": {NAME: {KEY: VALUE, ...}, ...}, "bench": [{...}, ...]},
# every value the table's text (a string), the derived keys with the rest.
targets_json() {
  local out='{"names": [' t key sep=
  for t in "${target_names[@]}"; do
    out+=$sep
    json "$t"
    sep=', '
  done
  out+=$'],\n "builds": {'
  sep=
  for t in "${target_names[@]}"; do
    out+="$sep"$'\n  '
    json "$t"
    out+=': {'
    sep=
    for key in "${!target_table[@]}"; do
      [ "${key%%.*}" = "$t" ] || continue
      out+=$sep
      json "${key#*.}"
      out+=': '
      json "${target_table[$key]}"
      sep=', '
    done
    out+='}'
    sep=,
  done
  out+=$'},\n "bench": ['
  local name preset static native most tools tool bsep=
  while IFS='|' read -r name preset static native most tools; do
    out+="$bsep"$'\n  {"name": '
    json "$name"
    out+=', "preset": '
    json "$preset"
    out+=", \"static\": $([ "$static" = ON ] && echo true || echo false)"
    out+=", \"native\": $([ "$native" = yes ] && echo true || echo false), \"max-bytes\": ${most:-null}, \"tools\": {"
    sep=
    for tool in $tools; do
      out+=$sep
      json "${tool%%=*}"
      out+=': '
      json "${tool#*=}"
      sep=', '
    done
    out+='}}'
    bsep=,
  done < <(bench_builds)
  printf '%s]}\n' "$out"
}

if [ "${BASH_SOURCE[0]}" = "$0" ] && [ "${1:-}" = --json ]; then
  targets_json
fi
