# Shared by both toolchain files: MINGW_TRIPLE names the cross target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static runtime libraries: the DLLs and programs then need only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
