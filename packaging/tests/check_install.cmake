# Installs the build into a temporary prefix and checks that every file a user needs
# lands where Debian tools look for it, and that the host development files stay out
# unless asked for.
foreach(variable BUILD_DIR PREFIX)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(expected
  bin/brennix
  lib/zigbee-adapter-tools/plugins/libweft_plugin.so
  lib/zigbee-adapter-tools/plugins/libondrel_plugin.so
  lib/zigbee-adapter-tools/plugins/libkal_signal_plugin.so
  share/man/man1/brennix.1.gz
  share/doc/zigbee-adapter-tools/copyright
  share/doc/zigbee-adapter-tools/changelog.gz
  share/bash-completion/completions/brennix
  lib/udev/rules.d/60-brennix-ftdi.rules
)
foreach(path ${expected})
  if(NOT EXISTS ${PREFIX}/${path})
    message(FATAL_ERROR "missing after install: ${path}")
  endif()
endforeach()

file(GLOB_RECURSE unexpected ${PREFIX}/*halvik*)
if(unexpected)
  message(FATAL_ERROR "host development files installed without being asked for: ${unexpected}")
endif()

# An installed program must not depend on the build tree.
execute_process(COMMAND ${PREFIX}/bin/brennix -h RESULT_VARIABLE result OUTPUT_VARIABLE help)
if(NOT result EQUAL 0 OR NOT help MATCHES "usage: Brennix <options>")
  message(FATAL_ERROR "installed brennix -h failed (${result}): ${help}")
endif()

# The completion offers the options, and file names after -f.
execute_process(
  COMMAND bash -c "source '${PREFIX}/share/bash-completion/completions/brennix'
                   COMP_WORDS=(brennix -l); COMP_CWORD=1; _brennix; echo \"\${COMPREPLY[*]}\"
                   COMP_WORDS=(brennix -f '${PREFIX}/bin/bre'); COMP_CWORD=2; _brennix; echo \"\${COMPREPLY[*]}\""
  OUTPUT_VARIABLE completions RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT completions MATCHES "^-l -lat\n${PREFIX}/bin/brennix\n$")
  message(FATAL_ERROR "bash completion answered (${result}):\n${completions}")
endif()
