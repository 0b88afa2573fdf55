# evsnap_source_date_epoch(SOURCE_DIR VAR): the time every release file is
# dated, in seconds since 1970, for reproducible builds. SOURCE_DATE_EPOCH
# when the environment sets it; else the last commit's time; else, as in an
# unpacked source tarball with no .git, the date of the changelog's last entry.
function(evsnap_source_date_epoch source_dir var)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(${var} $ENV{SOURCE_DATE_EPOCH} PARENT_SCOPE)
    return()
  endif()
  find_program(evsnap_git git)
  if(evsnap_git AND EXISTS ${source_dir}/.git)
    # Another user's clone is no reason to date it otherwise.
    execute_process(COMMAND ${evsnap_git} -c safe.directory=* -C ${source_dir} log -1 --format=%ct
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(epoch MATCHES "^[0-9]+$")
      set(${var} ${epoch} PARENT_SCOPE)
      return()
    endif()
  endif()
  file(STRINGS ${source_dir}/packaging/changelog trailer REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE "^ -- [^>]*>  " "" date "${trailer}")
  execute_process(COMMAND date -u -d "${date}" +%s
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "No date in ${source_dir}/packaging/changelog: '${trailer}'")
  endif()
  set(${var} ${epoch} PARENT_SCOPE)
endfunction()
