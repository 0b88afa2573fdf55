# Toolchain for one build of targets.txt, named by EVSNAP_TARGET (arm-musl,
# armhf-glibc, ...): Debian's TRIPLET-g++ and its sysroot /usr/TRIPLET, the
# build's limits for the tests, and its emulator. The test programs run under
# the emulator as QEMU's default CPU; evsnap itself runs in every test as each
# of the build's CPUs (EVSNAP_RUN_AS). A musl build links evsnap alone static
# against musl for that machine: see cmake/musl.cmake.
if(NOT EVSNAP_TARGET)
  message(FATAL_ERROR "cmake/cross.cmake needs -DEVSNAP_TARGET=NAME, a build of targets.txt")
endif()
# try_compile's projects read this file too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES EVSNAP_TARGET)
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
evsnap_target(${EVSNAP_TARGET})

set(CMAKE_C_COMPILER ${EVSNAP_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${EVSNAP_TRIPLET}-g++)
set(sysroot /usr/${EVSNAP_TRIPLET})
if(NOT EVSNAP_PROCESSOR STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${EVSNAP_PROCESSOR})
  # The sysroot's glibc, not the one the host's ld.so.cache names for the same
  # machine (libc6-i386's /lib32): its loader with that libc hangs in fork.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${EVSNAP_EMULATOR} -L ${sysroot}
                                    -E LD_LIBRARY_PATH=${sysroot}/lib)
  set(CMAKE_FIND_ROOT_PATH ${sysroot})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
# evsnap's command line prefix in the tests, one for each CPU: "CPU|LINE" (a
# CPU may have options: rv64,zbb=false).
set(EVSNAP_RUN_AS "")
foreach(cpu IN LISTS EVSNAP_CPUS)
  list(APPEND EVSNAP_RUN_AS "${cpu}|${EVSNAP_EMULATOR} -cpu ${cpu} -L ${sysroot}")
endforeach()

# The gcc wrapper of musl's own triplet is the C compiler, which links evsnap
# against musl.
if(EVSNAP_LIBC STREQUAL "musl")
  set(CMAKE_C_COMPILER ${EVSNAP_MUSL_TRIPLET}-gcc)
  # Or musl built from Debian's source for the build's flags, and its wrapper.
  if(EVSNAP_MUSL STREQUAL "source")
    execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/build-musl.sh ${EVSNAP_TRIPLET}
                            "${EVSNAP_FLAGS}"
      OUTPUT_VARIABLE EVSNAP_MUSL_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    set(CMAKE_C_COMPILER ${EVSNAP_MUSL_PREFIX}/bin/musl-gcc)
  endif()
  # Whatever the wrapper compiles and links fits the oldest CPU, as evsnap does.
  set(CMAKE_C_FLAGS_INIT "${EVSNAP_FLAGS}")
endif()
