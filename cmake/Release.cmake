# The release: both Windows presets built and installed, so that dist/win32 and dist/win64
# hold the shipped programs and nothing else.
include(ExternalProject)

foreach(build IN ITEMS "x86;win32" "x64;win64")
  list(GET build 0 arch)
  list(GET build 1 folder)
  set(binary "${PROJECT_SOURCE_DIR}/build/windows-${arch}")
  ExternalProject_Add(windows-${arch}
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${binary}"
    CONFIGURE_COMMAND ${CMAKE_COMMAND} -S "${PROJECT_SOURCE_DIR}" --preset windows-${arch}
                      "-DVELMORA_SITE_HOST=${VELMORA_SITE_HOST}"
    BUILD_COMMAND ${CMAKE_COMMAND} --build "${binary}"
    INSTALL_COMMAND ${CMAKE_COMMAND} -E rm -rf "${PROJECT_SOURCE_DIR}/dist/${folder}"
            COMMAND ${CMAKE_COMMAND} --install "${binary}"
    BUILD_ALWAYS ON)
endforeach()
