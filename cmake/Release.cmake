# The release: both Windows presets' programs built and installed, so that dist/win32 and
# dist/win64 hold the shipped programs, then the packages and their sums written beside them.
# What only the demonstration, the benchmark and the tests use is built by their scripts
# (scripts/build-helpers.sh), in the same build folders.

# The packages are dated from SOURCE_DATE_EPOCH, else from the last commit; without either
# the release stops here, before anything in dist/ is replaced.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(source "SOURCE_DATE_EPOCH")
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  set(source "the last commit's date")
endif()
if(NOT epoch MATCHES "^[0-9]+$" OR epoch LESS 315532800)
  message(FATAL_ERROR "The packages need a date, and ${source} gives \"${epoch}\". Outside a git "
                      "checkout (or in one git refuses to read), set SOURCE_DATE_EPOCH to a time in "
                      "seconds since 1970, from 1980 on, for example: SOURCE_DATE_EPOCH=$(date +%s).")
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(dist "${PROJECT_SOURCE_DIR}/dist")
foreach(build IN ITEMS "x86;win32" "x64;win64")
  list(GET build 0 arch)
  list(GET build 1 folder)
  set(binary "${PROJECT_SOURCE_DIR}/build/windows-${arch}")
  # Configured every time, so that a build folder removed by hand is simply made again.
  add_custom_target(windows-${arch} ALL
    COMMAND ${CMAKE_COMMAND} -S "${PROJECT_SOURCE_DIR}" --preset windows-${arch}
            "-DVELMORA_SITE_HOST=${VELMORA_SITE_HOST}"
    COMMAND ${CMAKE_COMMAND} --build "${binary}" --target VelmoraPlayer VelmoraPlayerUninstaller
    COMMAND ${CMAKE_COMMAND} -E rm -rf "${dist}/${folder}"
    COMMAND ${CMAKE_COMMAND} --install "${binary}"
    VERBATIM)
endforeach()

configure_file("${PROJECT_SOURCE_DIR}/packaging/README.txt.in" README.txt NEWLINE_STYLE WIN32 @ONLY)
add_custom_target(packages ALL
  COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/packaging/package.py" "${dist}" "${PROJECT_VERSION}"
          "${epoch}" "${CMAKE_CURRENT_BINARY_DIR}/README.txt" "${VELMORA_SITE_HOST}"
  VERBATIM)
add_dependencies(packages windows-x86 windows-x64)
