# 32-bit Windows (x86): the shipped target.
set(QVO_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
