# Run by cpack once it has packed an archive. CPack's TGZ keeps the builder's
# user and group and the file system's order of entries, and gzip's header a
# time: the archive is packed again with entries sorted by name, owned by 0:0,
# dated SOURCE_DATE_EPOCH and with modes that no umask changed, and
# compressed with no name or time. cpack then copies it to the package
# directory, with its SHA-256 beside it.
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(dir ${archive} DIRECTORY)
  set(tree ${dir}/_evsnap_repack)
  file(REMOVE_RECURSE ${tree})
  file(MAKE_DIRECTORY ${tree})
  execute_process(COMMAND tar -xzf ${archive} -C ${tree} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(
    COMMAND sh -c [[LC_ALL=C tar --sort=name --owner=0 --group=0 --numeric-owner \
        --mtime="@$SOURCE_DATE_EPOCH" --mode=go-w,a+rX --format=gnu -C "$1" -c "$2" |
        gzip -9n >"$3"]] sh ${tree} ${CPACK_PACKAGE_FILE_NAME} ${archive}
    COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
