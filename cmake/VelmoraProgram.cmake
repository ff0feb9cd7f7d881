# How a program of ours is compiled and linked: static runtime, small, ASLR and DEP on, marked
# Terminal Server aware, no link timestamp. Neither program throws, catches or unwinds; as
# C++20 the standard string's members are compiled here, without exception or unwind tables,
# instead of linked from the library's copy, which would bring the whole unwinder along.
function(velmora_program_options target)
  set_target_properties(${target} PROPERTIES CXX_STANDARD 20)
  target_link_libraries(${target} PRIVATE velmora_shared)
  target_compile_options(${target} PRIVATE -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections
                         -Wall -Wextra "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
  target_link_options(${target} PRIVATE -static -Wl,--gc-sections -Wl,--dynamicbase,--nxcompat,--tsaware,--no-insert-timestamp)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    target_link_options(${target} PRIVATE -Wl,--high-entropy-va)
  endif()
endfunction()

# Adds one of the shipped programs, of the GUI subsystem, stripped, with its manifest and
# version resource. The sources are kept on the target, for test-only builds of the same
# program.
function(velmora_add_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "RC" "SOURCES")
  add_executable(${target} WIN32 ${arg_SOURCES} ${arg_RC})
  set(sources ${arg_SOURCES} ${arg_RC})
  list(TRANSFORM sources PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/")
  set_target_properties(${target} PROPERTIES VELMORA_SOURCES "${sources}")
  velmora_program_options(${target})
  target_link_libraries(${target} PRIVATE velmora_platform)
  # The map shows what each piece of the static runtime costs (scripts/size-report.py).
  target_link_options(${target} PRIVATE -s "-Wl,-Map=$<TARGET_FILE_DIR:${target}>/${target}.map")
  # windres writes no dependency file: everything the resource script reads is named here,
  # the generated version header among it, so that a new version reaches the programs.
  set_source_files_properties(${arg_RC} PROPERTIES OBJECT_DEPENDS
    "${PROJECT_SOURCE_DIR}/shared/program.rc;${PROJECT_SOURCE_DIR}/shared/program.manifest;${PROJECT_SOURCE_DIR}/shared/icon/velmora.ico;${PROJECT_SOURCE_DIR}/shared/velmora.h;${PROJECT_BINARY_DIR}/shared/generated/version.h")
  install(TARGETS ${target} RUNTIME DESTINATION .)
endfunction()
