# Builds the Debian package, unpacks it into a temporary root and checks what a user gets:
# the files, a package in Depends for every library a packaged program or plug-in links, and
# a brennix that runs from there. With
# RELEASE_CHECKS (a tree fit to ship) also what Debian checks: lintian with no error,
# warning or informational tag, and the hardening of every binary.
foreach(variable BUILD_DIR OUTPUT_DIR RELEASE_CHECKS READELF)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${OUTPUT_DIR})
execute_process(COMMAND cpack --config ${BUILD_DIR}/CPackConfig.cmake -B ${OUTPUT_DIR}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed: ${output}")
endif()
file(GLOB package ${OUTPUT_DIR}/*.deb)
list(LENGTH package count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${OUTPUT_DIR}, found: ${package}")
endif()

set(root ${OUTPUT_DIR}/root)
execute_process(COMMAND dpkg-deb -x ${package} ${root} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -x failed: ${result}")
endif()
set(binaries
  usr/bin/brennix
  usr/lib/zigbee-adapter-tools/plugins/libweft_plugin.so
  usr/lib/zigbee-adapter-tools/plugins/libondrel_plugin.so
  usr/lib/zigbee-adapter-tools/plugins/libkal_signal_plugin.so)
foreach(path ${binaries}
    usr/share/man/man1/brennix.1.gz
    usr/share/bash-completion/completions/brennix
    usr/lib/udev/rules.d/60-brennix-ftdi.rules
    usr/share/doc/zigbee-adapter-tools/copyright
    usr/share/doc/zigbee-adapter-tools/changelog.gz)
  if(NOT EXISTS ${root}/${path})
    message(FATAL_ERROR "package lacks ${path}")
  endif()
endforeach()

# The text with every character that a regular expression gives a meaning escaped.
function(escape_regex text output)
  string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" escaped "${text}")
  set(${output} "${escaped}" PARENT_SCOPE)
endfunction()

# The Debian package that installed the library at path. Debian 12 merges /lib into /usr/lib,
# and dpkg knows each library under the one of the two names its package ships it under.
function(owning_package path output)
  string(REGEX REPLACE "^/usr/" "/" short "${path}")
  foreach(candidate ${short} /usr${short})
    execute_process(COMMAND dpkg-query -S ${candidate} RESULT_VARIABLE result
                    OUTPUT_VARIABLE owner ERROR_QUIET)
    if(result EQUAL 0 AND owner MATCHES "^([^:, \n]+)")
      set(${output} ${CMAKE_MATCH_1} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${output} "" PARENT_SCOPE)
endfunction()

# Every library that a packaged program or plug-in links directly comes from a package that
# Depends names, or the package installs without it and the program does not start.
execute_process(COMMAND dpkg-deb -f ${package} Package Version Depends OUTPUT_VARIABLE fields)
execute_process(COMMAND dpkg-deb -f ${package} Depends OUTPUT_VARIABLE depends)
set(undeclared "")
foreach(binary ${binaries})
  execute_process(COMMAND ${READELF} -d ${root}/${binary} OUTPUT_VARIABLE dynamic)
  execute_process(COMMAND ldd ${root}/${binary} OUTPUT_VARIABLE resolved)
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]+\\]" needed "${dynamic}")
  foreach(entry ${needed})
    string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" library "${entry}")
    escape_regex("${library}" library_pattern)
    set(owner "")
    if(resolved MATCHES "[\t ]${library_pattern} => ([^ \n]+)")
      owning_package(${CMAKE_MATCH_1} owner)
    endif()
    escape_regex("${owner}" owner_pattern)
    if(NOT owner)
      string(APPEND undeclared "\n  ${binary} links ${library}, which no installed package provides")
    elseif(NOT depends MATCHES "(^|[ ,|])${owner_pattern}([ ,(]|\n|$)")
      string(APPEND undeclared "\n  ${binary} links ${library} from ${owner}")
    endif()
  endforeach()
endforeach()
if(undeclared)
  message(FATAL_ERROR "Depends lacks packages that packaged files link:${undeclared}\n${fields}")
endif()

# The stripped program as installed from the package, away from the build tree.
execute_process(COMMAND ${root}/usr/bin/brennix -h RESULT_VARIABLE result OUTPUT_VARIABLE help)
if(NOT result EQUAL 0 OR NOT help MATCHES "usage: Brennix <options>")
  message(FATAL_ERROR "brennix -h from the package failed (${result}): ${help}")
endif()

if(RELEASE_CHECKS)
  set(hint "scripts/install-deps installs lintian and hardening-check (devscripts)")
  execute_process(COMMAND lintian --display-info --fail-on error,warning,info ${package}
                  RESULT_VARIABLE result OUTPUT_VARIABLE lintian ERROR_VARIABLE lintian)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "lintian (${result}; ${hint}):\n${lintian}")
  endif()
  # Debian 12's C start files carry no control-flow protection marking, so no program
  # linked there gets it; every other check applies. The signal test plug-ins' only
  # fortifiable calls are memcpy calls inside Qt's inline container code, whose
  # destination size no compiler can know, so they stay unfortified whatever the flags;
  # brennix and weft_plugin, built with the same flags, show that fortification is on.
  set(hardening "")
  foreach(binary ${binaries})
    set(options --nocfprotection)
    if(binary MATCHES "(ondrel|kal_signal)_plugin")
      list(APPEND options --nofortify)
    endif()
    execute_process(COMMAND hardening-check ${options} ${root}/${binary}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    string(APPEND hardening "${output}")
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "hardening-check (${result}; ${hint}):\n${output}")
    endif()
  endforeach()
  message(STATUS "lintian:\n${lintian}\nhardening-check:\n${hardening}")
endif()
message(STATUS "package ${package}:\n${fields}")
