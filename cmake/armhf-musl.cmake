# evsnap for 32-bit ARM (armhf), linked static against musl (Debian's
# musl-dev:armhf). Only evsnap is built against musl (cmake/musl.cmake); the
# tests keep the cross g++'s glibc and run under qemu-arm like the glibc build.
include(${CMAKE_CURRENT_LIST_DIR}/armhf.cmake)
set(EVSNAP_MUSL_TRIPLET arm-linux-musleabihf)
set(CMAKE_C_COMPILER arm-linux-musleabihf-gcc) # musl's wrapper: it links against musl
