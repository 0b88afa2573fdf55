# The table of builds, targets.txt, for bash scripts (source this file). It
# needs nothing but bash, so a bare machine reads it before installing anything.
#   targets [KEY [VALUE]]  the builds in the table's order; with KEY, those that
#                          have one; with VALUE too, those whose KEY is VALUE
#   target NAME KEY        NAME's value of KEY, empty when it has none
#   target_of KEY VALUE    the first build whose KEY is VALUE
declare -gA target_table=()
target_names=()
evsnap_targets_file=${evsnap_targets_file:-$(dirname "${BASH_SOURCE[0]}")/../targets.txt}
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
