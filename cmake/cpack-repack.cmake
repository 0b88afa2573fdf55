# Run by cpack once it has packed, before it copies the file to the package
# directory. What cpack packs keeps traces of the builder: the umask in the
# modes of folders and of a package's own members, and for an archive the
# user and group and the file system's order of entries. Each file is packed
# again from its unpacked tree, with modes that no umask changed (go-w,a+rX),
# owned by 0:0 and dated SOURCE_DATE_EPOCH:
# - an archive by tar, entries sorted by name, and gzip with no name or time;
# - a Debian package by dpkg-deb, which sorts its entries and dates them and
#   its members itself.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(dir ${package} DIRECTORY)
  set(tree ${dir}/_evsnap_repack)
  file(REMOVE_RECURSE ${tree})
  file(MAKE_DIRECTORY ${tree})
  if(package MATCHES "\\.deb$")
    execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree}/root COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND chmod -R go-w,a+rX ${tree}/root COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${tree}/root ${package}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  else()
    execute_process(COMMAND tar -xzf ${package} -C ${tree} COMMAND_ERROR_IS_FATAL ANY)
    execute_process(
      COMMAND sh -c [[LC_ALL=C tar --sort=name --owner=0 --group=0 --numeric-owner \
          --mtime="@$SOURCE_DATE_EPOCH" --mode=go-w,a+rX --format=gnu -C "$1" -c "$2" |
          gzip -9n >"$3"]] sh ${tree} ${CPACK_PACKAGE_FILE_NAME} ${package}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
