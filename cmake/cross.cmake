# Toolchain for one Linux machine, named by its GNU triplet in EVSNAP_TRIPLET
# (arm-linux-gnueabi, aarch64-linux-gnu, ...): Debian's TRIPLET-g++ and its
# sysroot /usr/TRIPLET, and tests under qemu-user when the machine is not this
# one. EVSNAP_LIBC=musl links evsnap alone static against musl for that
# machine (Debian's musl-dev:ARCH): see cmake/musl.cmake.
if(NOT EVSNAP_TRIPLET)
  message(FATAL_ERROR "cmake/cross.cmake needs -DEVSNAP_TRIPLET=TRIPLET, say arm-linux-gnueabi")
endif()
# try_compile's projects read this file too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES EVSNAP_TRIPLET EVSNAP_LIBC)

string(REGEX MATCH "^[^-]+" evsnap_processor ${EVSNAP_TRIPLET})
set(CMAKE_C_COMPILER ${EVSNAP_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${EVSNAP_TRIPLET}-g++)
if(NOT evsnap_processor STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${evsnap_processor})
  # No -cpu here: QEMU_CPU in the environment chooses the CPU model, and a
  # -cpu on this line would override it.
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${evsnap_processor} -L /usr/${EVSNAP_TRIPLET})
  set(CMAKE_FIND_ROOT_PATH /usr/${EVSNAP_TRIPLET})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

# musl's own triplet: gnu becomes musl (arm-linux-gnueabi: arm-linux-musleabi).
# Its gcc wrapper is the C compiler, which links evsnap against musl.
if(EVSNAP_LIBC STREQUAL "musl")
  string(REPLACE "-gnu" "-musl" EVSNAP_MUSL_TRIPLET ${EVSNAP_TRIPLET})
  set(CMAKE_C_COMPILER ${EVSNAP_MUSL_TRIPLET}-gcc)
endif()
