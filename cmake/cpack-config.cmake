# Read by cpack: the Depends on libc6 of a cross-built binary, from the GLIBC_x.y
# versions it requires (see packaging/libc-depends.sh).
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_DEBIAN_PACKAGE_DEPENDS)
  include(${CPACK_EVSNAP_BINARY_FILE})
  execute_process(
    COMMAND sh ${CPACK_EVSNAP_LIBC_DEPENDS} ${CPACK_EVSNAP_OBJDUMP} ${CPACK_EVSNAP_BINARY}
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_DEPENDS OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "no Depends on libc6 for ${CPACK_EVSNAP_BINARY}")
  endif()
endif()
