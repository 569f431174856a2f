# The Wine lane's runner: every Windows test program runs under wine64, in a
# Wine prefix of this build's own (made on first use, thrown away with the
# build tree), with the modem-line loopback preloaded. The loopback and
# tovek-sim are native peers (cmake/native_peers.cmake).
include(${PROJECT_SOURCE_DIR}/cmake/native_peers.cmake)
set(QVO_MODEM_LOOPBACK ${QVO_NATIVE_BIN}/libqvo_modem_loopback.so)
qvo_native_peers(TARGETS tovek-sim qvo_modem_loopback ARGS -DQVO_WINE_RIG=ON
  BYPRODUCTS ${QVO_NATIVE_BIN}/tovek-sim ${QVO_MODEM_LOOPBACK})

set(QVO_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(QVO_WINE_RUNNER sh ${CMAKE_CURRENT_LIST_DIR}/wine.sh ${QVO_WINE_PREFIX} ${QVO_MODEM_LOOPBACK})
set(CMAKE_CROSSCOMPILING_EMULATOR ${QVO_WINE_RUNNER})
