# The table of builds, targets.txt, as cmake/targets.sh reads it: EVSNAP_TABLE, its JSON.
# evsnap_target(NAME): every key of build NAME, derived ones too, as a variable
# EVSNAP_KEY (upper case, - as _: cpus is EVSNAP_CPUS, a list; max-bytes
# EVSNAP_MAX_BYTES; boards and flags are text, the others lists of words). A
# key the build lacks is unset.
execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/targets.sh --json
  OUTPUT_VARIABLE EVSNAP_TABLE COMMAND_ERROR_IS_FATAL ANY)

macro(evsnap_target name)
  string(JSON _entry ERROR_VARIABLE _error GET "${EVSNAP_TABLE}" builds ${name})
  if(_error)
    message(FATAL_ERROR "No build [${name}] in targets.txt")
  endif()
  string(JSON _count LENGTH "${_entry}")
  math(EXPR _last "${_count} - 1")
  foreach(_i RANGE ${_last})
    string(JSON _key MEMBER "${_entry}" ${_i})
    string(JSON _value GET "${_entry}" ${_key})
    string(TOUPPER "EVSNAP_${_key}" _var)
    string(REPLACE "-" "_" _var ${_var})
    if(NOT _key STREQUAL "boards" AND NOT _key STREQUAL "flags")
      string(REGEX REPLACE "[ \t]+" ";" _value "${_value}")
    endif()
    set(${_var} "${_value}")
  endforeach()
endmacro()
