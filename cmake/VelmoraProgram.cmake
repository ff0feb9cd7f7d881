# Adds one of the shipped Windows programs: GUI subsystem, static runtime, small, stripped,
# ASLR and DEP on, no link timestamp, with its manifest and version resource. The sources
# are kept on the target, for the test-only builds of the same program.
function(velmora_add_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "RC" "SOURCES")
  add_executable(${target} WIN32 ${arg_SOURCES} ${arg_RC})
  set(sources ${arg_SOURCES} ${arg_RC})
  list(TRANSFORM sources PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/")
  set_target_properties(${target} PROPERTIES VELMORA_SOURCES "${sources}")
  target_link_libraries(${target} PRIVATE velmora_shared velmora_platform)
  target_compile_options(${target} PRIVATE -Os -ffunction-sections -fdata-sections -Wall -Wextra
                         "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
  # The map shows what each piece of the static runtime costs (scripts/size-report.py).
  target_link_options(${target} PRIVATE -static -s -Wl,--gc-sections
                      -Wl,--dynamicbase,--nxcompat,--no-insert-timestamp
                      "-Wl,-Map=$<TARGET_FILE_DIR:${target}>/${target}.map")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    target_link_options(${target} PRIVATE -Wl,--high-entropy-va)
  endif()
  set_source_files_properties(${arg_RC} PROPERTIES OBJECT_DEPENDS
    "${PROJECT_SOURCE_DIR}/shared/program.rc;${PROJECT_SOURCE_DIR}/shared/program.manifest")
  install(TARGETS ${target} RUNTIME DESTINATION .)
endfunction()
