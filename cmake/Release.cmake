# The release: both Windows presets' programs built and installed, so that dist/win32 and
# dist/win64 hold the shipped programs, then the packages and their sums written beside them.
# What only the demonstration, the benchmark and the tests use is built by their scripts
# (scripts/build-helpers.sh), in the same build folders.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(dist "${PROJECT_SOURCE_DIR}/dist")
# The date is read anew on every build, before any program in dist/ is replaced: without a
# usable one the release stops there.
set(date_file "${CMAKE_CURRENT_BINARY_DIR}/release-date")
add_custom_target(release-date
  COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/packaging/release_date.py" "${PROJECT_SOURCE_DIR}" "${date_file}"
  VERBATIM)
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
  add_dependencies(windows-${arch} release-date)
endforeach()

configure_file("${PROJECT_SOURCE_DIR}/packaging/README.txt.in" README.txt NEWLINE_STYLE WIN32 @ONLY)
add_custom_target(packages ALL
  COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/packaging/package.py" "${dist}" "${PROJECT_VERSION}"
          "${date_file}" "${CMAKE_CURRENT_BINARY_DIR}/README.txt" "${VELMORA_SITE_HOST}"
  VERBATIM)
add_dependencies(packages windows-x86 windows-x64)
