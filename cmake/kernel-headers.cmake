# musl ships none of the kernel's headers (linux/, asm/, asm-generic/), and a
# glibc compiler for the same machine finds them among its own folders.

# evsnap_search_list(COMPILER LANGUAGE VAR): the folders COMPILER searches for
# #include <...> in LANGUAGE (c or c++), in its order.
function(evsnap_search_list compiler language var)
  execute_process(COMMAND ${compiler} -x${language} -E -v /dev/null
    OUTPUT_QUIET ERROR_VARIABLE verbose COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCH "search starts here:\n(.*)\nEnd of search list" _ "${verbose}")
  string(STRIP "${CMAKE_MATCH_1}" found)
  string(REGEX REPLACE "\n *" ";" found "${found}")
  set(${var} ${found} PARENT_SCOPE)
endfunction()

# evsnap_kernel_headers(DIR SEARCH...): DIR holds links to linux, asm and
# asm-generic, each from the first folder of SEARCH that has it.
function(evsnap_kernel_headers dir)
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  foreach(folder IN LISTS ARGN)
    foreach(sub linux asm asm-generic)
      if(NOT EXISTS ${dir}/${sub} AND EXISTS ${folder}/${sub})
        file(CREATE_LINK ${folder}/${sub} ${dir}/${sub} SYMBOLIC)
      endif()
    endforeach()
  endforeach()
  if(NOT EXISTS ${dir}/linux/input.h OR NOT EXISTS ${dir}/asm/types.h)
    message(FATAL_ERROR "No kernel headers (linux/input.h, asm/types.h) in: ${ARGN}")
  endif()
endfunction()
