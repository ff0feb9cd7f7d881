# The release: both Windows builds' programs, built in folders of their own inside this build
# folder, signed when asked to, packaged with their sums and only then put in place of
# VELMORA_DIST (packaging/release.py). What only the demonstration, the benchmark and the tests
# use is built by their scripts (scripts/build-helpers.sh), in the same folders.

# Debian's own interpreter, where it is there, whose python3-cryptography the signing reads.
if(EXISTS /usr/bin/python3 AND NOT DEFINED Python3_EXECUTABLE)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(VELMORA_DIST "${PROJECT_SOURCE_DIR}/dist" CACHE PATH "Where the release is put: the operator's own folder")
# Signing settings name files relative to the folder the release command was started in:
# this configure step's own working folder, which its child inherits.
execute_process(COMMAND "${Python3_EXECUTABLE}" -c "import os; print(os.getcwd())"
                OUTPUT_VARIABLE start_folder OUTPUT_STRIP_TRAILING_WHITESPACE)
foreach(build IN ITEMS "win32;Windows 7 SP1 to Windows 11, 32-bit or 64-bit"
                       "win64;64-bit Windows 7 SP1 to Windows 11 only")
  list(GET build 0 VELMORA_BUILD)
  list(GET build 1 VELMORA_WINDOWS)
  execute_process(COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/packaging/readme.py"
                          "${PROJECT_SOURCE_DIR}/docs/players.md" "readme/${VELMORA_BUILD}/README.txt" "${PROJECT_VERSION}"
                          "${VELMORA_BUILD}" "${VELMORA_WINDOWS}" "${VELMORA_SITE_HOST}"
                  WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# The zips' README is the player guide's text: a change to either is a change to the release.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${PROJECT_SOURCE_DIR}/docs/players.md" "${PROJECT_SOURCE_DIR}/packaging/readme.py")

# Run at every build: the programs' own builds know what changed.
add_custom_target(release ALL
  COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/packaging/release.py" "${PROJECT_SOURCE_DIR}"
          "${CMAKE_CURRENT_BINARY_DIR}" "${VELMORA_DIST}" "${PROJECT_VERSION}" "${VELMORA_SITE_HOST}" "${start_folder}"
  USES_TERMINAL VERBATIM)
