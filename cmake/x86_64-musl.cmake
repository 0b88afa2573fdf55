# evsnap for x86_64, linked static against musl (Debian's musl-dev).
# Only evsnap is built against musl (cmake/musl.cmake); the tests keep g++'s
# glibc and its full C++ library.
set(EVSNAP_MUSL_TRIPLET x86_64-linux-musl)
set(CMAKE_C_COMPILER x86_64-linux-musl-gcc) # musl's wrapper: it links against musl
