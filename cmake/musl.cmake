# Builds evsnap against musl, linked static. Debian has no C++ compiler for
# musl, but evsnap uses only the header-only parts of the C++ library: its
# sources are compiled by the toolchain's g++ with musl's headers in place of
# glibc's, and linked by musl's gcc wrapper, which leaves the C++ library out.
set(musl_include /usr/include/${EVSNAP_MUSL_TRIPLET})
if(EVSNAP_MUSL_PREFIX) # built from source: cmake/build-musl.sh
  set(musl_include ${EVSNAP_MUSL_PREFIX}/include)
endif()
if(NOT EXISTS ${musl_include}/stdio.h)
  message(FATAL_ERROR "No musl headers in ${musl_include} (Debian: musl-dev, or "
                      "musl-dev:ARCH for another machine's)")
endif()
enable_language(C)
include(${CMAKE_CURRENT_LIST_DIR}/kernel-headers.cmake)

# Searched in this order: libstdc++'s folders from g++'s own list, musl's,
# gcc's own, and the kernel's.
evsnap_search_list(${CMAKE_CXX_COMPILER} c++ search)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
# The kernel's headers for musl builds, also for the C programs the wrapper
# compiles beside evsnap (the benchmark's floor, the VM's keyboard).
set(EVSNAP_MUSL_KERNEL_HEADERS ${CMAKE_BINARY_DIR}/musl-kernel-headers)
evsnap_kernel_headers(${EVSNAP_MUSL_KERNEL_HEADERS} ${search})
set(flags -nostdinc)
foreach(dir IN LISTS search)
  if(dir MATCHES "/c\\+\\+/")
    list(APPEND flags "SHELL:-isystem ${dir}")
  endif()
endforeach()
# libstdc++'s os_defines.h asks for glibc's version; there is none.
list(APPEND flags "SHELL:-isystem ${musl_include}" "SHELL:-isystem ${gcc_include}"
     "SHELL:-isystem ${EVSNAP_MUSL_KERNEL_HEADERS}" "-D__GLIBC_PREREQ(maj,min)=0")
# The oldest CPU of the family (targets.txt), which musl was built for too.
separate_arguments(baseline UNIX_COMMAND "${EVSNAP_FLAGS}")
target_compile_options(evsnap PRIVATE ${flags} ${baseline})

# Linked by musl's gcc wrapper, and nothing of g++'s (libstdc++, libgcc_s) with it.
set_target_properties(evsnap PROPERTIES LINKER_LANGUAGE C)
set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "")
set(CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "")
# For boards without a musl of their own: evsnap carries its C library along.
set_property(CACHE EVSNAP_STATIC PROPERTY VALUE ON)
# musl applies RELRO in its dynamic linker alone: a static binary's start-up
# makes no mprotect call (strace shows none), so the segment protects nothing,
# and on aarch64 its layout costs a second 64 KiB-aligned page in the file.
target_link_options(evsnap PRIVATE -Wl,-z,norelro)
# What else keeps the binary within its size (targets.txt).
target_link_options(evsnap PRIVATE ${EVSNAP_LDFLAGS})
