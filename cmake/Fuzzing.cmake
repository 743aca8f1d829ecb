# Fuzz targets. Each target is one source defining LLVMFuzzerTestOneInput. In a tree
# configured with ENABLE_FUZZING it becomes a libFuzzer program and a CTest test (label
# "fuzz") that fuzzes for FUZZ_SECONDS from its corpus. In every other tree the same source
# becomes a plain program that replays the corpus, so each CI run (and the sanitizer tree)
# runs every corpus input once with the ordinary compiler.

set(FUZZ_SECONDS 60 CACHE STRING "How long each fuzz target's CTest test fuzzes")

if(ENABLE_FUZZING)
  add_custom_target(fuzzers)
else()
  add_library(fuzz_replay_main OBJECT ${CMAKE_CURRENT_LIST_DIR}/fuzz_replay_main.cpp)
  set_target_properties(fuzz_replay_main PROPERTIES AUTOMOC OFF)
  target_link_libraries(fuzz_replay_main PRIVATE project_warnings)
endif()

# add_fuzz_target(<name> SOURCE <file.cpp> CORPUS <directory> [DICTIONARY <file>]
#                 LIBRARIES <targets>...)
function(add_fuzz_target name)
  cmake_parse_arguments(PARSE_ARGV 1 FUZZ "" "SOURCE;CORPUS;DICTIONARY" "LIBRARIES")
  get_filename_component(corpus ${FUZZ_CORPUS} ABSOLUTE)

  if(ENABLE_FUZZING)
    add_executable(${name} ${FUZZ_SOURCE})
    target_link_libraries(${name} PRIVATE ${FUZZ_LIBRARIES} project_warnings)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name} PROPERTIES AUTOMOC OFF
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    add_dependencies(fuzzers ${name})

    # libFuzzer writes what it finds into its first directory only, so the corpus in the
    # repository is read but never changed.
    set(findings ${CMAKE_BINARY_DIR}/fuzz/${name}-findings)
    file(MAKE_DIRECTORY ${findings})
    set(options -max_total_time=${FUZZ_SECONDS} -timeout=10 -print_final_stats=1
      -artifact_prefix=${CMAKE_BINARY_DIR}/fuzz/${name}-)
    if(FUZZ_DICTIONARY)
      get_filename_component(dictionary ${FUZZ_DICTIONARY} ABSOLUTE)
      list(APPEND options -dict=${dictionary})
    endif()
    add_test(NAME ${name} COMMAND ${name} ${findings} ${corpus} ${options})
    set_tests_properties(${name} PROPERTIES LABELS fuzz)
  else()
    add_executable(${name}_replay ${FUZZ_SOURCE} $<TARGET_OBJECTS:fuzz_replay_main>)
    target_link_libraries(${name}_replay PRIVATE ${FUZZ_LIBRARIES} project_warnings)
    set_target_properties(${name}_replay PROPERTIES AUTOMOC OFF
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    add_test(NAME ${name}_corpus COMMAND ${name}_replay ${corpus})
  endif()
endfunction()
