# Install layout: the binary (CMakeLists.txt), the man page, the bash
# completion and the documentation, as distributions' builds install it
# (`cmake --install` with DESTDIR). debian/ makes the Debian packages of it,
# packaging/build-release.sh the archives for boards.

# `cmake --install --strip` strips the binary; take out the compilers'
# .comment and the .note section too, as Debian's dh_strip does.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:evsnap>\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")
install(FILES completions/evsnap
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# The man page carries project()'s version.
configure_file(doc/evsnap.1.in ${PROJECT_BINARY_DIR}/evsnap.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/evsnap.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The board guides the README points to, beside it.
install(FILES doc/boards.md doc/openwrt.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
