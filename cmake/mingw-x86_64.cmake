# 64-bit Windows (x86-64): the same sources, built to run under wine64. The
# posix thread model, because GoogleTest's Windows code needs std::mutex,
# which the win32 model of this compiler lacks.
set(QVO_MINGW_PROCESSOR x86_64)
set(QVO_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
