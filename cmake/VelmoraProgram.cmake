# Adds one of the shipped programs. For Windows: GUI subsystem, static runtime, small,
# stripped, ASLR and DEP on, no link timestamp, with its manifest and version resource.
# For the host, its sources become the static library HOST_LIBRARY, which the unit tests
# link against the emulated Windows calls.
function(velmora_add_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "RC;HOST_LIBRARY" "SOURCES")
  if(NOT WIN32)
    add_library(${arg_HOST_LIBRARY} STATIC ${arg_SOURCES})
    target_link_libraries(${arg_HOST_LIBRARY} PUBLIC velmora_shared velmora_platform)
    return()
  endif()
  add_executable(${target} WIN32 ${arg_SOURCES} ${arg_RC})
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
