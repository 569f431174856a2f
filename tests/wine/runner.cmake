# The Wine lane's runner: every Windows test program runs under wine64, in a
# Wine prefix of this build's own (made on first use, thrown away with the
# build tree), with the modem-line loopback preloaded. The loopback and
# tovek-sim are native programs, built beside by a native build of the same
# sources.
include(ExternalProject)
set(QVO_NATIVE_DIR ${CMAKE_BINARY_DIR}/native)
set(QVO_NATIVE_BIN ${QVO_NATIVE_DIR}/bin)
set(QVO_MODEM_LOOPBACK ${QVO_NATIVE_BIN}/libqvo_modem_loopback.so)
ExternalProject_Add(qvo_native_rig
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${QVO_NATIVE_DIR}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DQVO_BUILD_TESTS=OFF -DQVO_WINE_RIG=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target tovek-sim qvo_modem_loopback
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${QVO_NATIVE_BIN}/tovek-sim ${QVO_MODEM_LOOPBACK}
  INSTALL_COMMAND "")

set(QVO_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(QVO_WINE_RUNNER sh ${CMAKE_CURRENT_LIST_DIR}/wine.sh ${QVO_WINE_PREFIX} ${QVO_MODEM_LOOPBACK})
set(CMAKE_CROSSCOMPILING_EMULATOR ${QVO_WINE_RUNNER})
