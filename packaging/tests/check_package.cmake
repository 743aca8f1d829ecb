# Builds the Debian package, unpacks it into a temporary root and checks what a user gets:
# the files, the declared dependencies and a brennix that runs from there. With
# RELEASE_CHECKS (a tree fit to ship) also what Debian checks: lintian with no error,
# warning or informational tag, and the hardening of every binary.
foreach(variable BUILD_DIR OUTPUT_DIR RELEASE_CHECKS)
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

execute_process(COMMAND dpkg-deb -f ${package} Package Version Depends OUTPUT_VARIABLE fields)
foreach(dependency libqt5core5a libqt5widgets5 libqt5serialport5 libftdi1-2 libgpiod2)
  string(FIND "${fields}" "${dependency}" position)
  if(position EQUAL -1)
    message(FATAL_ERROR "package does not declare ${dependency}:\n${fields}")
  endif()
endforeach()

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
