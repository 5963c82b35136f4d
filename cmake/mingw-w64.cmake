# Cross build for 64-bit Windows with mingw-w64.  The "-posix" compilers use
# the POSIX thread model (winpthreads), which std::thread and std::mutex
# need; the default win32-model compilers do not provide them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SYMKEEP_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SYMKEEP_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SYMKEEP_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SYMKEEP_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SYMKEEP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Project-wide settings of this build (static linking, GoogleTest, wine).
set(CMAKE_PROJECT_symkeep_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/windows.cmake)
