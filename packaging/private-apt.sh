# Sourced in bash: apt for another Debian release or architecture, this
# machine's own left as they are.
# apt_for RELEASE ARCH DIR: a private apt in DIR (its own sources, lists,
# cache and an empty status) for that release and architecture, its lists
# fetched from this machine's Debian mirrors, as the command line in the
# array `apt`; false offline.
apt_for() {
    local dir=$3 uri mirrors
    # shellcheck disable=SC2016 # apt's own $(FIELD)s
    mirrors=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Origin: Debian' 2>/dev/null |
        awk '$2 !~ /-/ { print $1 }' | sort -u)
    apt=(env APT_CONFIG="$dir/apt.conf" apt-get -q)
    mkdir -p "$dir/lists/partial" "$dir/archives/partial"
    : >"$dir/status"
    for uri in ${mirrors:-http://deb.debian.org/debian}; do echo "deb $uri $1 main"; done >"$dir/sources.list"
    printf '%s "%s";\n' Dir::Etc::SourceList "$dir/sources.list" Dir::Etc::SourceParts "$dir/none" \
        Dir::State::Lists "$dir/lists" Dir::State::status "$dir/status" Dir::Cache "$dir" \
        APT::Sandbox::User "$(id -un)" APT::Architecture "$2" APT::Architectures "$2" >"$dir/apt.conf"
    "${apt[@]}" -qq update
}
