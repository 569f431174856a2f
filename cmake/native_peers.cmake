# The peers that a cross build's tests start beside the driver (tovek-sim,
# and for the Wine lane the modem-line loopback), built natively from the
# same sources. They are not what a cross lane proves, and a native program
# starts on any machine: a 32-bit one needs a kernel that hands it to
# qemu-i386 by itself (binfmt_misc), which many containers do not have.
#
#   qvo_native_peers(TARGETS target... [ARGS -DOPTION=...])
# builds them into QVO_NATIVE_BIN, as the target qvo_native_peers.
include(ExternalProject)
set(QVO_NATIVE_DIR ${CMAKE_BINARY_DIR}/native)
set(QVO_NATIVE_BIN ${QVO_NATIVE_DIR}/bin)

function(qvo_native_peers)
  cmake_parse_arguments(ARG "" "" "TARGETS;ARGS;BYPRODUCTS" ${ARGN})
  ExternalProject_Add(qvo_native_peers
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${QVO_NATIVE_DIR}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DQVO_BUILD_TESTS=OFF -DQVO_BUILD_GATEWAY=OFF ${ARG_ARGS}
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target ${ARG_TARGETS}
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${ARG_BYPRODUCTS}
    INSTALL_COMMAND "")
endfunction()
