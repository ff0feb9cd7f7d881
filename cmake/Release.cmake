# The release: both Windows builds' programs, built in folders of their own inside this build
# folder, signed when asked to, packaged with their sums and only then put in place of
# VELMORA_DIST (packaging/release.py, which reads its settings, the player guide and the date
# when it runs). What only the demonstration, the benchmark and the tests use is built by their
# scripts (scripts/build-helpers.sh), in the same folders.

# Debian's own interpreter, where it is there, whose python3-cryptography the signing reads.
if(EXISTS /usr/bin/python3 AND NOT DEFINED Python3_EXECUTABLE)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(VELMORA_DIST "${PROJECT_SOURCE_DIR}/dist" CACHE PATH "Where the release is put: the operator's own folder")
# Run at every build: the programs' own builds know what changed.
add_custom_target(release ALL
  COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/packaging/release.py" --source "${PROJECT_SOURCE_DIR}"
          --build "${CMAKE_CURRENT_BINARY_DIR}" --dist "${VELMORA_DIST}" --version "${PROJECT_VERSION}"
          --site-host "${VELMORA_SITE_HOST}"
  USES_TERMINAL VERBATIM)
