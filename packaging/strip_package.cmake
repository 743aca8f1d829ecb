# CPack runs this on the package's staging tree before it builds the package: strips
# every ELF file the way Debian's dh_strip does, which also drops the .comment and .note
# sections that a plain strip keeps.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS files)
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND "${CPACK_PACKAGE_STRIP}" --remove-section=.comment
                            --remove-section=.note "${file}"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
