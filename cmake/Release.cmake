# The release: both Windows presets' programs built and installed into a stage in this build
# folder, signed there when asked to, packaged with their sums, and only then put in place of
# dist/ (packaging/package.py). What only the demonstration, the benchmark and the tests use is
# built by their scripts (scripts/build-helpers.sh), in the same build folders.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(dist "${PROJECT_SOURCE_DIR}/dist")
set(stage "${CMAKE_CURRENT_BINARY_DIR}/stage")
# Signing settings name files relative to the folder the release command was started in:
# this configure step's own working folder, which its child inherits.
execute_process(COMMAND "${Python3_EXECUTABLE}" -c "import os; print(os.getcwd())"
                OUTPUT_VARIABLE start_folder OUTPUT_STRIP_TRAILING_WHITESPACE)
# The date is read anew on every build, before any program is packaged: without a usable one
# the release stops there.
set(date_file "${CMAKE_CURRENT_BINARY_DIR}/release-date")
add_custom_target(release-date
  COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/packaging/release_date.py" "${PROJECT_SOURCE_DIR}" "${date_file}"
  VERBATIM)
foreach(build IN ITEMS "x86;win32;Windows 7 SP1 to Windows 11, 32-bit or 64-bit"
                       "x64;win64;64-bit Windows 7 SP1 to Windows 11 only")
  list(GET build 0 arch)
  list(GET build 1 folder)
  list(GET build 2 VELMORA_WINDOWS)
  set(binary "${PROJECT_SOURCE_DIR}/build/windows-${arch}")
  # Configured every time, so that a build folder removed by hand is simply made again.
  add_custom_target(windows-${arch} ALL
    COMMAND ${CMAKE_COMMAND} -S "${PROJECT_SOURCE_DIR}" --preset windows-${arch}
            "-DVELMORA_SITE_HOST=${VELMORA_SITE_HOST}"
    COMMAND ${CMAKE_COMMAND} --build "${binary}" --target VelmoraPlayer VelmoraPlayerUninstaller
    COMMAND ${CMAKE_COMMAND} -E rm -rf "${stage}/${folder}"
    COMMAND ${CMAKE_COMMAND} --install "${binary}" --prefix "${stage}/${folder}"
    VERBATIM)
  add_dependencies(windows-${arch} release-date)
  set(VELMORA_BUILD "${folder}")
  configure_file("${PROJECT_SOURCE_DIR}/packaging/README.txt.in" "readme/${folder}/README.txt" NEWLINE_STYLE WIN32 @ONLY)
endforeach()

add_custom_target(packages ALL
  COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/packaging/package.py" "${stage}" "${dist}" "${PROJECT_VERSION}"
          "${date_file}" "${CMAKE_CURRENT_BINARY_DIR}/readme" "${VELMORA_SITE_HOST}" "${start_folder}"
  VERBATIM)
add_dependencies(packages windows-x86 windows-x64)
