# Windows cross build with Debian's mingw-w64 toolchain, for the processor
# that the including toolchain file sets in QVO_MINGW_PROCESSOR, and with
# QVO_MINGW_THREADS (posix) the compilers of that thread model instead of
# the default win32 one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QVO_MINGW_PROCESSOR})
set(QVO_MINGW_TRIPLET ${QVO_MINGW_PROCESSOR}-w64-mingw32)
set(suffix "")
if(QVO_MINGW_THREADS)
  set(suffix -${QVO_MINGW_THREADS})
  # The thread library too is linked in: nothing beyond the system's DLLs.
  set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
  set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
endif()
set(CMAKE_C_COMPILER ${QVO_MINGW_TRIPLET}-gcc${suffix})
set(CMAKE_CXX_COMPILER ${QVO_MINGW_TRIPLET}-g++${suffix})
set(CMAKE_RC_COMPILER ${QVO_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
