# Cross toolchain for the NT target: Debian's mingw-w64 for 32-bit x86
# (packages g++-mingw-w64-i686 and mingw-w64-i686-dev).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TAL_NT_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TAL_NT_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TAL_NT_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${TAL_NT_TRIPLE}-windres)
set(CMAKE_AR ${TAL_NT_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TAL_NT_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${TAL_NT_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_NM ${TAL_NT_TRIPLE}-nm CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TAL_NT_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Archives without timestamps, owners or modes, so that two builds of the
# same sources give the same bytes.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
