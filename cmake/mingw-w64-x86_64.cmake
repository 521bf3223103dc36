# Cross build for 64-bit Windows with Debian's MinGW-w64, the posix thread model
# (std::thread and std::mutex need it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSALY_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSALY_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSALY_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSALY_MINGW_PREFIX}-windres)
set(CMAKE_AR ${TESSALY_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TESSALY_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

# Headers and libraries come from the MinGW-w64 tree only, never from the build machine's
# /usr/include; the few header-only libraries we take from there are linked in one by one.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSALY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One file per program: nothing to ship beside the .exe but what Windows has itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

