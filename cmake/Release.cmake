# The release: both Windows presets built and installed, so that dist/win32 and dist/win64
# hold the shipped programs and nothing else.
foreach(build IN ITEMS "x86;win32" "x64;win64")
  list(GET build 0 arch)
  list(GET build 1 folder)
  set(binary "${PROJECT_SOURCE_DIR}/build/windows-${arch}")
  # Configured every time, so that a build folder removed by hand is simply made again.
  add_custom_target(windows-${arch} ALL
    COMMAND ${CMAKE_COMMAND} -S "${PROJECT_SOURCE_DIR}" --preset windows-${arch}
            "-DVELMORA_SITE_HOST=${VELMORA_SITE_HOST}"
    COMMAND ${CMAKE_COMMAND} --build "${binary}"
    COMMAND ${CMAKE_COMMAND} -E rm -rf "${PROJECT_SOURCE_DIR}/dist/${folder}"
    COMMAND ${CMAKE_COMMAND} --install "${binary}"
    VERBATIM)
endforeach()

# The packages: one zip for each build, with both programs and a short README for users.
set(dist "${PROJECT_SOURCE_DIR}/dist")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch)
    set(epoch 0)
  endif()
endif()
set(CPACK_VELMORA_EPOCH "${epoch}")
configure_file("${PROJECT_SOURCE_DIR}/packaging/README.txt.in" README.txt NEWLINE_STYLE WIN32 @ONLY)
foreach(folder IN ITEMS win32 win64)
  install(PROGRAMS "${dist}/${folder}/VelmoraPlayer.exe" "${dist}/${folder}/VelmoraPlayerUninstaller.exe"
          DESTINATION . COMPONENT ${folder})
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/README.txt" DESTINATION . COMPONENT ${folder})
endforeach()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME VelmoraPlayer)
set(CPACK_PACKAGE_VENDOR "Velmora Player")
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL win32 win64)
set(CPACK_ARCHIVE_WIN32_FILE_NAME "VelmoraPlayer-${PROJECT_VERSION}-win32")
set(CPACK_ARCHIVE_WIN64_FILE_NAME "VelmoraPlayer-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/packages")
set(CPACK_VELMORA_DIST "${dist}")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/PrePackage.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/PostPackage.cmake")
include(CPack)
