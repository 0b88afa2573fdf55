# Install layout (man page, bash completion, documentation) and Debian packages.
option(EVSNAP_DEBIAN_LAYOUT
  "Install the documentation as a Debian package ships it: gzipped, with copyright and changelog"
  OFF)

# `cmake --install --strip` (and cpack) strip the binary; take out the
# compilers' .comment and the .note section too, as Debian's dh_strip does.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:evsnap>\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")
install(FILES completions/evsnap
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The man page carries project()'s version.
configure_file(doc/evsnap.1.in ${PROJECT_BINARY_DIR}/evsnap.1 @ONLY)

if(NOT EVSNAP_DEBIAN_LAYOUT)
  install(FILES ${PROJECT_BINARY_DIR}/evsnap.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  set(debian_dir ${CMAKE_CURRENT_BINARY_DIR}/debian)
  # The copyright file in the machine-readable format, with the licence text
  # taken from LICENSE: blank lines become " .", every line is indented.
  file(READ LICENSE licence)
  string(REGEX REPLACE "^.*\nCopyright \\(c\\) ([^\n]*)\n\n" "" licence_text "${licence}")
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${licence}")
  set(licence_holder "${CMAKE_MATCH_1}")
  string(STRIP "${licence_text}" licence_text)
  string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
  string(REPLACE "\n" "\n " licence_text "${licence_text}")
  file(WRITE ${debian_dir}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: ${PROJECT_NAME}\n\n"
    "Files: *\nCopyright: ${licence_holder}\nLicense: Expat\n\n"
    "License: Expat\n ${licence_text}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)

  # gzip -9n: no name or time stamp in the header, so builds are reproducible.
  foreach(doc ${PROJECT_BINARY_DIR}/evsnap.1 ${PROJECT_SOURCE_DIR}/packaging/changelog)
    get_filename_component(name ${doc} NAME)
    add_custom_command(OUTPUT ${debian_dir}/${name}.gz
      COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" sh ${doc} ${debian_dir}/${name}.gz
      DEPENDS ${doc} VERBATIM)
    list(APPEND debian_docs ${debian_dir}/${name}.gz)
  endforeach()
  add_custom_target(debian_docs ALL DEPENDS ${debian_docs})
  install(FILES ${debian_dir}/evsnap.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${debian_dir}/changelog.gz ${debian_dir}/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # evsnap in the initramfs, and an example boot script that uses it there.
  install(PROGRAMS packaging/initramfs/hook
    DESTINATION ${CMAKE_INSTALL_DATADIR}/initramfs-tools/hooks RENAME evsnap)
  install(FILES packaging/initramfs/init-premount DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # The same question under systemd.
  install(FILES packaging/systemd/evsnap-boot-key.service DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-config.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/cpack-repack.cmake)
set(CPACK_EVSNAP_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# A build of no entry of targets.txt (presets host, sanitize, fuzz) makes no
# package, nor does a static glibc build, which the benchmark alone makes.
if(NOT EVSNAP_TARGET OR (EVSNAP_STATIC AND NOT EVSNAP_LIBC STREQUAL "musl"))
  return()
endif()

# What cpack makes: a Debian package, or for a static build an archive of the
# install tree for boards without Debian (top folder
# evsnap-VERSION-linux-MACHINE-static, MACHINE as `uname -m` names the board's
# family), its SHA-256 beside it.
if(EVSNAP_STATIC)
  set(package TGZ)
else()
  set(package DEB)
endif()
set(EVSNAP_PACKAGE ${package} CACHE STRING "What cpack makes: DEB or TGZ")
set_property(CACHE EVSNAP_PACKAGE PROPERTY STRINGS DEB TGZ)
if(EVSNAP_PACKAGE STREQUAL "TGZ")
  if(NOT EVSNAP_ARCHIVE)
    message(FATAL_ERROR "An archive for boards is made of a build of targets.txt with an archive name")
  endif()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME
      ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${EVSNAP_ARCHIVE}-static)
  set(CPACK_PACKAGE_CHECKSUM SHA256)
  include(CPack)
  return()
elseif(NOT EVSNAP_PACKAGE STREQUAL "DEB")
  message(FATAL_ERROR "EVSNAP_PACKAGE is DEB or TGZ, not '${EVSNAP_PACKAGE}'")
endif()

# cpack -G DEB, from a build for the machine the package is for.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "The evsnap developers")
set(CPACK_PACKAGE_CONTACT "The evsnap developers <evsnap@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "print the key code of the next input event record")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "evsnap waits a bounded time for the next record of one Linux input event
device (/dev/input/eventN) and prints one line, a hexadecimal key code that a
shell script can act on. It is small, starts fast and needs nothing but libc:
made for boot scripts on embedded boards that ask whether a button was pressed
or which key the operator pressed.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A native package: its changelog is changelog.gz, its version has no revision.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# The Debian architecture of the build (targets.txt), not of the machine that
# runs CPack.
if(NOT EVSNAP_DEBIAN)
  message(FATAL_ERROR "A Debian package is made of a build of targets.txt (presets deb-ARCH)")
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${EVSNAP_DEBIAN})

# The initramfs is built anew whenever the hook changes, as dh_installinitramfs
# has it done.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A build for a newer ARM than some boards of its Debian architecture
# (targets.txt: cpu-arch) refuses them before it unpacks.
if(EVSNAP_OLDER)
  string(REPLACE ";" " | " older "${EVSNAP_OLDER}")
  set(archive ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${EVSNAP_OLDER_ARCHIVE}-static.tar.gz)
  configure_file(packaging/preinst.in ${CMAKE_CURRENT_BINARY_DIR}/debian/preinst @ONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/preinst)
endif()

# Depends on libc6: dpkg-shlibdeps reads the host libc's symbols file. A cross
# build has no such file, so cmake/cpack-config.cmake derives the version from the
# GLIBC_x.y versions the binary requires once it is built.
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_EVSNAP_LIBC_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/libc-depends.sh)
  set(CPACK_EVSNAP_OBJDUMP ${CMAKE_OBJDUMP})
  set(CPACK_EVSNAP_BINARY_FILE ${CMAKE_CURRENT_BINARY_DIR}/evsnap-binary.cmake)
  file(GENERATE OUTPUT ${CPACK_EVSNAP_BINARY_FILE}
    CONTENT "set(CPACK_EVSNAP_BINARY \"$<TARGET_FILE:evsnap>\")\n")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
