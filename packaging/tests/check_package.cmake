# Builds the Debian package and inspects it with dpkg-deb: contents and declared
# dependencies.
foreach(variable BUILD_DIR OUTPUT_DIR)
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
file(GLOB packages ${OUTPUT_DIR}/*.deb)
list(LENGTH packages count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${OUTPUT_DIR}, found: ${packages}")
endif()

execute_process(COMMAND dpkg-deb -c ${packages} OUTPUT_VARIABLE contents RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -c failed")
endif()
foreach(path
    ./usr/bin/brennix
    ./usr/lib/zigbee-adapter-tools/plugins/libweft_plugin.so
    ./usr/lib/zigbee-adapter-tools/plugins/libondrel_plugin.so
    ./usr/lib/zigbee-adapter-tools/plugins/libkal_signal_plugin.so
    ./usr/share/man/man1/brennix.1
    ./usr/share/bash-completion/completions/brennix
    ./usr/lib/udev/rules.d/60-brennix-ftdi.rules)
  string(FIND "${contents}" "${path}" position)
  if(position EQUAL -1)
    message(FATAL_ERROR "package lacks ${path}:\n${contents}")
  endif()
endforeach()

execute_process(COMMAND dpkg-deb -f ${packages} Package Depends OUTPUT_VARIABLE fields)
foreach(dependency libqt5core5a libqt5widgets5 libqt5serialport5 libftdi1-2 libgpiod2)
  string(FIND "${fields}" "${dependency}" position)
  if(position EQUAL -1)
    message(FATAL_ERROR "package does not declare ${dependency}:\n${fields}")
  endif()
endforeach()
message(STATUS "package ${packages}:\n${fields}${contents}")
