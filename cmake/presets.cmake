# Writes the presets of every build of targets.txt to OUT (cmake/tables.sh runs it):
#   cmake -DOUT=cmake/presets/builds.json -P cmake/presets.cmake
# For each build NAME: NAME (its suite), vm-NAME (its virtual machines),
# release-RELEASE (the build of its archive, which packaging/build-release.sh
# installs and packs). debian/rules builds the Debian packages.
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)

# quote(VAR TEXT): TEXT as a JSON string.
function(quote var text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${var} "\"${text}\"" PARENT_SCOPE)
endfunction()
# add(KIND NAME CONFIGURE [KEY JSON]...): a preset at the end of presets' KIND.
function(add kind name configure)
  quote(name "${name}")
  set(preset "{\"name\": ${name}}")
  if(configure)
    quote(configure "${configure}")
    string(JSON preset SET "${preset}" configurePreset "${configure}")
  endif()
  # By index: a value may hold a ; (a list's separator).
  foreach(i RANGE 3 ${ARGC} 2)
    math(EXPR v "${i} + 1")
    if(v LESS ARGC)
      string(JSON preset SET "${preset}" ${ARGV${i}} "${ARGV${v}}")
    endif()
  endforeach()
  string(JSON n LENGTH "${presets}" ${kind})
  string(JSON presets SET "${presets}" ${kind} ${n} "${preset}")
  set(presets "${presets}" PARENT_SCOPE)
endfunction()
# workflow(NAME CONFIGURE STEP...): a workflow of its configure preset, then
# each STEP (build, test) of the presets named as it is.
function(workflow name configure)
  quote(configure "${configure}")
  quote(step "${name}")
  set(steps "[{\"type\": \"configure\", \"name\": ${configure}}]")
  foreach(type IN LISTS ARGN)
    string(JSON n LENGTH "${steps}")
    string(JSON steps SET "${steps}" ${n} "{\"type\": \"${type}\", \"name\": ${step}}")
  endforeach()
  add(workflowPresets ${name} "" steps "${steps}")
  set(presets "${presets}" PARENT_SCOPE)
endfunction()

set(presets [[{"version": 6,
  "vendor": {"evsnap": {"writtenBy": "bash cmake/tables.sh, from targets.txt: do not edit"}},
  "include": ["bases.json"], "configurePresets": [], "buildPresets": [], "testPresets": [],
  "workflowPresets": []}]])
string(JSON count LENGTH "${EVSNAP_TABLE}" names)
math(EXPR count "${count} - 1")
foreach(i RANGE ${count})
  string(JSON t GET "${EVSNAP_TABLE}" names ${i})
  unset(EVSNAP_VMS)
  unset(EVSNAP_ARCHIVE)
  evsnap_target(${t})
  string(JSON summary GET "${EVSNAP_TABLE}" builds ${t} summary)
  string(REPLACE "`" "" summary "${summary}")
  string(REPLACE ";" " " cpus "${EVSNAP_CPUS}")
  quote(display "${summary}; tests as ${cpus}")
  quote(target ${t})
  add(configurePresets ${t} "" inherits [["cross"]] displayName "${display}"
      cacheVariables "{\"EVSNAP_TARGET\": ${target}}")
  add(buildPresets ${t} ${t})
  add(testPresets ${t} ${t} inherits [["suite"]])
  workflow(${t} ${t} build test)
  if(EVSNAP_VMS)
    add(buildPresets vm-${t} ${t} targets [=[["vm"]]=])
    add(testPresets vm-${t} ${t} inherits [["vm"]])
    workflow(vm-${t} ${t} build test)
  endif()
  if(EVSNAP_ARCHIVE)
    set(r release-${EVSNAP_ARCHIVE})
    add(buildPresets ${r} ${t} targets [=[["evsnap"]]=])
    add(testPresets ${r} ${t} inherits [["binary"]])
    workflow(${r} ${t} build test)
  endif()
endforeach()
file(WRITE ${OUT} "${presets}\n")
