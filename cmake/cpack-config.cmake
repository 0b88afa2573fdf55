# Read by cpack before it packs, inside `cmake --workflow` as well.
# Every file it makes is dated SOURCE_DATE_EPOCH (see source-date.cmake).
include(${CPACK_EVSNAP_SOURCE_DIR}/cmake/source-date.cmake)
evsnap_source_date_epoch(${CPACK_EVSNAP_SOURCE_DIR} epoch)
set(ENV{SOURCE_DATE_EPOCH} ${epoch})

# The Depends on libc6 of a cross-built binary, from the GLIBC_x.y versions it
# requires (see packaging/libc-depends.sh).
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_EVSNAP_LIBC_DEPENDS
   AND NOT CPACK_DEBIAN_PACKAGE_DEPENDS)
  include(${CPACK_EVSNAP_BINARY_FILE})
  execute_process(
    COMMAND sh ${CPACK_EVSNAP_LIBC_DEPENDS} ${CPACK_EVSNAP_OBJDUMP} ${CPACK_EVSNAP_BINARY}
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_DEPENDS OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "no Depends on libc6 for ${CPACK_EVSNAP_BINARY}")
  endif()
endif()
