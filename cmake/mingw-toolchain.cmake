# Shared body of the two MinGW-w64 toolchain files: Debian's cross compilers with the
# win32 thread model, so that a static link needs no winpthread DLL.
# The including file sets VELMORA_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

# The build machine's own flags (a build farm's LDFLAGS=-Wl,-z,relro, say) are for its own
# programs: here they would break the link or change the shipped bytes.
foreach(variable IN ITEMS CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS)
  unset(ENV{${variable}})
endforeach()

foreach(tool IN ITEMS g++-win32 gcc-win32 windres)
  set(name "${VELMORA_MINGW_TRIPLET}-${tool}")
  find_program(found_${tool} NAMES ${name})
  if(NOT found_${tool})
    message(FATAL_ERROR "${name} was not found. On Debian install the MinGW-w64 "
                        "cross compilers (run scripts/install-deps.sh).")
  endif()
endforeach()

set(CMAKE_CXX_COMPILER "${found_g++-win32}")
set(CMAKE_C_COMPILER "${found_gcc-win32}")
set(CMAKE_RC_COMPILER "${found_windres}")

set(CMAKE_FIND_ROOT_PATH "/usr/${VELMORA_MINGW_TRIPLET}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
