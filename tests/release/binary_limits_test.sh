#!/bin/sh
# Checks a release build's binary against what its boards need: the size of
# the stripped binary, the oldest 32-bit ARM architecture it runs on, the
# alignment of its LOAD segments (a kernel with pages up to that size loads
# it), no printf inside (every message is formed by evsnap itself), no
# instruction the oldest CPU of the family lacks (baseline=mips32, mips64,
# i486 or rv64gc: the -march of its flags), and MIPS's soft-float marking.
# usage: binary_limits_test.sh BINARY STRIP [max-bytes=N] [cpu-arch=ARCH] [load-align=N] [no-printf]
#                              [baseline=MARCH] [soft-float]
set -eu
binary=$1 strip=$2
shift 2
readelf -h "$binary" >/dev/null # a binary that cannot be read passes nothing
. "$(dirname "$0")/../support/lib.sh"
# Stripped as `cmake --install --strip` strips it.
"$strip" --strip-all --remove-section=.comment --remove-section=.note -o "$scratch/evsnap" "$binary"

# ARM architectures in the order of the ELF attribute's values, oldest first.
arm_order="Pre-v4 v4 v4T v5T v5TE v5TEJ v6 v6KZ v6T2 v6K v7 v6-M v6S-M v7E-M v8 v8-R v8-M.baseline v8-M.mainline"
rank() { echo "$arm_order" | tr ' ' '\n' | grep -n -x -F -e "$1" | cut -d: -f1; }

for limit in "$@"; do
  case $limit in
  max-bytes=*)
    size=$(stat -c %s "$scratch/evsnap")
    echo "stripped: $size bytes, at most ${limit#*=}"
    [ "$size" -le "${limit#*=}" ] || fail "stripped binary is $size bytes, more than ${limit#*=}"
    ;;
  cpu-arch=*)
    arch=$(readelf -A "$scratch/evsnap" | sed -n 's/^ *Tag_CPU_arch: *//p')
    echo "Tag_CPU_arch: ${arch:-none}, at most ${limit#*=}"
    if [ -z "$arch" ] || [ -z "$(rank "$arch")" ]; then
      fail "no Tag_CPU_arch that says which ARM the binary needs ('$arch')"
    elif [ "$(rank "$arch")" -gt "$(rank "${limit#*=}")" ]; then
      fail "the binary needs ARM $arch, newer than ${limit#*=}"
    fi
    ;;
  load-align=*)
    aligns=$(readelf -lW "$scratch/evsnap" | awk '$1 == "LOAD" { print $NF }')
    echo "LOAD alignments: $(echo $aligns), at least ${limit#*=}"
    [ -n "$aligns" ] || fail "no LOAD segments"
    for align in $aligns; do
      [ "$((align))" -ge "${limit#*=}" ] || fail "a LOAD segment aligned to $align"
    done
    ;;
  baseline=*)
    # What the oldest CPU lacks, as objdump writes it; anything objdump cannot
    # decode (.word, (bad)) counts too, but on MIPS, whose start code keeps
    # data words among its instructions and is decoded as release 2.
    isa='' unknown='^\.(word|short|byte|insn|[248]byte) |\(bad\)'
    case ${limit#*=} in
    # FPU (many router kernels emulate none) and release 2, with its 64-bit
    # forms (dext, dsbh, drotr32...); rdhwr, which musl reads the thread
    # pointer with, every MIPS kernel emulates.
    mips32 | mips64)
      isa="-m mips:isa${limit#*=mips}r2" unknown='\(bad\)'
      beyond='^[a-z]*c1|^[a-z]+\.|^mov[ft] |\$f[0-9]|^(d?ext[mu]?|d?ins[mu]?|seb|seh|wsbh|dsbh|dshd|d?rot?r(32)?v?|di|ei|synci|[rw][dr]pgpr) '
      ;;
    i486) beyond='(^| )(cmov|fcmov|fu?comip?|cmpxchg8b|rdtsc|nop[lw]|endbr|[lms]fence|prefetch|movnt|emms)|%[xy]?mm[0-9]' ;;
    rv64gc) beyond='^(andn|orn|xnor|clzw?|ctzw?|cpopw?|max|maxu|min|minu|sext\.[bh]|zext\.[hw]|ro[lr]i?w?|rev8|orc\.b|sh[123]add(\.uw)?|add\.uw|slli\.uw|clmulh?r?|bclri?|bexti?|binvi?|bseti?) ' ;;
    *)
      echo "no instruction scan for baseline ${limit#*=}" >&2
      exit 2
      ;;
    esac
    # shellcheck disable=SC2086
    "${strip%strip}objdump" -d --no-show-raw-insn $isa "$binary" >"$scratch/code"
    grep -q '^ *[0-9a-f]*:' "$scratch/code" || fail "no instructions to scan"
    awk -F'\t' '/^ *[0-9a-f]+:\t/ { print $2 " " $3 }' "$scratch/code" |
      grep -o -E -e "$beyond" -e "$unknown" | sort | uniq -c >"$scratch/beyond"
    echo "instructions beyond ${limit#*=}: $(awk '{ n += $1 } END { print n + 0 }' "$scratch/beyond")"
    [ ! -s "$scratch/beyond" ] || fail "instructions beyond ${limit#*=} (count, kind):" $(cat "$scratch/beyond")
    ;;
  soft-float)
    abi=$(readelf -A "$binary" | sed -n 's/^ *FP ABI: *//p')
    echo "FP ABI: ${abi:-none}"
    [ "$abi" = "Soft float" ] || fail "not marked soft-float: FP ABI '$abi'"
    ;;
  no-printf)
    found=$(readelf -sW "$binary" | awk '{ print $NF }' | grep printf || true)
    [ -z "$found" ] || fail "printf inside: $(echo $found)"
    readelf -sW "$binary" | grep -q -w FUNC || fail "no symbols to look for printf in"
    ;;
  *)
    echo "unknown limit: $limit" >&2
    exit 2
    ;;
  esac
done
finish
