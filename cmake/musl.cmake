# Builds evsnap against musl, linked static. Debian has no C++ compiler for
# musl, but evsnap uses only the header-only parts of the C++ library: its
# sources are compiled by the toolchain's g++ with musl's headers in place of
# glibc's, and linked by musl's gcc wrapper, which leaves the C++ library out.
set(musl_include /usr/include/${EVSNAP_MUSL_TRIPLET})
if(NOT EXISTS ${musl_include}/stdio.h)
  message(FATAL_ERROR "No musl headers in ${musl_include} (Debian: musl-tools; "
                      "musl-dev:armhf for arm-linux-musleabihf)")
endif()
enable_language(C)

# g++'s own search list gives libstdc++'s folders, and the kernel's headers
# that glibc's folders hold and musl's lack.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v /dev/null
  OUTPUT_QUIET ERROR_VARIABLE verbose COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "search starts here:\n(.*)\nEnd of search list" _ "${verbose}")
string(REGEX REPLACE "\n *" ";" search "${CMAKE_MATCH_1}")
set(kernel ${CMAKE_BINARY_DIR}/musl-kernel-headers)
file(REMOVE_RECURSE ${kernel})
file(MAKE_DIRECTORY ${kernel})
set(flags -nostdinc)
foreach(dir IN LISTS search)
  string(STRIP "${dir}" dir)
  if(dir MATCHES "/c\\+\\+/")
    list(APPEND flags "SHELL:-isystem ${dir}")
  endif()
  foreach(sub linux asm asm-generic)
    if(NOT EXISTS ${kernel}/${sub} AND EXISTS ${dir}/${sub})
      file(CREATE_LINK ${dir}/${sub} ${kernel}/${sub} SYMBOLIC)
    endif()
  endforeach()
endforeach()
if(NOT EXISTS ${kernel}/linux/input.h OR NOT EXISTS ${kernel}/asm/types.h)
  message(FATAL_ERROR "No kernel headers (linux, asm) in ${CMAKE_CXX_COMPILER}'s search list")
endif()
# libstdc++'s os_defines.h asks for glibc's version; there is none.
list(APPEND flags "SHELL:-isystem ${musl_include}" "SHELL:-isystem ${gcc_include}"
     "SHELL:-isystem ${kernel}" "-D__GLIBC_PREREQ(maj,min)=0")
target_compile_options(evsnap PRIVATE ${flags})
# Linked by musl's gcc wrapper, and nothing of g++'s (libstdc++, libgcc_s) with it.
set_target_properties(evsnap PROPERTIES LINKER_LANGUAGE C)
set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "")
set(CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "")
# For boards without a musl of their own: evsnap carries its C library along.
set(EVSNAP_STATIC ON)
