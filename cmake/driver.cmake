# The driver: one set of portable objects, and per platform the foundation
# that reaches the serial ports and the host's services. Which foundation a
# binary gets is decided by what it links.
#
# Layers, each using only those below it:
#   include/qvotk/qvotk.h   the host's records
#   src/platform/           the operating system's serial and host services
#   src/serial/             serial port access and the half-duplex exchange
#   src/protocol/           frames, replies and the value requests
#   src/address/            point name validation
#   src/entry/              QvoMain, the opcode table, the channel lifecycle

add_library(qvo_driver OBJECT
  src/entry/entry.cpp
  src/entry/driver_info.cpp
  src/entry/channel.cpp
  src/entry/station_file.cpp
  src/entry/value_handlers.cpp
  src/entry/point_handlers.cpp
  src/protocol/frame.cpp
  src/protocol/request_frames.cpp
  src/protocol/value_requests.cpp
  src/protocol/replies.cpp
  src/address/point_address.cpp
  src/serial/serial_port.cpp
  src/serial/exchange.cpp
  src/serial/line_capture.cpp
  src/platform/serial/port_slots.cpp
  src/platform/host/host_report_text.cpp
)
# The driver's headers, for what stands beside it: the foundations, and the
# test stand-ins of the platform.
add_library(qvo_driver_headers INTERFACE)
target_include_directories(qvo_driver_headers INTERFACE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(qvo_driver PUBLIC qvo_driver_headers)
# The driver runs inside the host's process: no exceptions, no RTTI, and
# nothing visible but the export.
target_compile_options(qvo_driver PRIVATE -fno-exceptions -fno-rtti)
set_target_properties(qvo_driver PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

if(WIN32)
  set(QVO_PLATFORM win32)
else()
  set(QVO_PLATFORM posix)
endif()
add_library(qvo_report_platform OBJECT src/platform/host/host_report_${QVO_PLATFORM}.cpp)
add_library(qvo_file_platform OBJECT src/platform/host/station_file_${QVO_PLATFORM}.cpp
  src/platform/host/capture_file_${QVO_PLATFORM}.cpp)
set(QVO_FOUNDATIONS qvo_report_platform qvo_serial_platform qvo_file_platform)
if(WIN32)
  add_library(qvo_serial_platform OBJECT src/platform/serial/serial_win32.cpp)
else()
  add_library(qvo_serial_platform OBJECT
    src/platform/serial/serial_posix.cpp src/platform/serial/serial_rate_linux.cpp)
  # The system calls of the POSIX foundation, apart: tests link their own,
  # which count them and can answer one themselves.
  add_library(qvo_posix_calls OBJECT src/platform/serial/posix_calls.cpp)
  list(APPEND QVO_FOUNDATIONS qvo_posix_calls)
endif()
foreach(foundation ${QVO_FOUNDATIONS})
  target_link_libraries(${foundation} PRIVATE qvo_driver)
  target_compile_options(${foundation} PRIVATE -fno-exceptions -fno-rtti)
  set_target_properties(${foundation} PROPERTIES CXX_VISIBILITY_PRESET hidden)
endforeach()

# The install directories, before the first target that names one.
include(GNUInstallDirs)

add_library(qvotk SHARED)
add_library(qvotk::qvotk ALIAS qvotk)
set_target_properties(qvotk PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${QVO_OUTPUT_DIRECTORY} RUNTIME_OUTPUT_DIRECTORY ${QVO_OUTPUT_DIRECTORY})
target_link_libraries(qvotk PRIVATE qvo_driver ${QVO_FOUNDATIONS})
# A host includes the one public header, and nothing else of the sources.
target_include_directories(qvotk INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
if(WIN32)
  enable_language(RC)
  configure_file(cmake/qvotk.rc.in ${CMAKE_CURRENT_BINARY_DIR}/qvotk.rc COPYONLY)
  # __stdcall decorates QvoMain as QvoMain@4 on x86 only; the export is
  # undecorated on both.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(QVO_MAIN_SYMBOL QvoMain@4)
  else()
    set(QVO_MAIN_SYMBOL QvoMain)
  endif()
  configure_file(cmake/qvotk.def.in ${CMAKE_CURRENT_BINARY_DIR}/qvotk.def @ONLY)
  configure_file(cmake/qvotk-import.def.in ${CMAKE_CURRENT_BINARY_DIR}/qvotk-import.def @ONLY)
  target_sources(qvotk PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/qvotk.def ${CMAKE_CURRENT_BINARY_DIR}/qvotk.rc)
  set_target_properties(qvotk PROPERTIES PREFIX "")
  target_link_options(qvotk PRIVATE -static-libgcc -static-libstdc++)
  # The linker's import library names QvoMain as the export does, without
  # the @4 that a C caller of a __stdcall function asks for on x86; this one
  # maps QvoMain@4 to the export.
  find_program(QVO_DLLTOOL NAMES ${QVO_MINGW_TRIPLET}-dlltool REQUIRED)
  add_custom_command(TARGET qvotk POST_BUILD
    COMMAND ${QVO_DLLTOOL} --def ${CMAKE_CURRENT_BINARY_DIR}/qvotk-import.def --dllname qvotk.dll --kill-at
      --output-lib $<TARGET_LINKER_FILE:qvotk>
    COMMENT "Import library of qvotk.dll")
else()
  # libqvotk.so.7 for the driver of version 7.50: a host that loads it by
  # that name gets the interface it was written for.
  set_target_properties(qvotk PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  target_link_options(qvotk PRIVATE
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/libqvotk.map -Wl,--no-undefined)
  set_target_properties(qvotk PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/libqvotk.map)
endif()

if(WIN32 AND QVO_BUILD_TESTS)
  enable_testing()
  find_program(QVO_MINGW_OBJDUMP NAMES ${QVO_MINGW_TRIPLET}-objdump REQUIRED)
  add_test(NAME windows_dll_exports_only_QvoMain
    COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/check-windows-dll.sh $<TARGET_FILE:qvotk>)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(QVO_PE_FORMAT pei-i386)
  else()
    set(QVO_PE_FORMAT pei-x86-64)
  endif()
  set_tests_properties(windows_dll_exports_only_QvoMain PROPERTIES
    ENVIRONMENT "OBJDUMP=${QVO_MINGW_OBJDUMP};PE_FORMAT=${QVO_PE_FORMAT}")
endif()

# Installed: the library, the header, a pkg-config file and a CMake package
# (find_package(qvotk) gives qvotk::qvotk), both usable from C alone.
include(CMakePackageConfigHelpers)
install(TARGETS qvotk EXPORT qvotkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/qvotk/qvotk.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvotk)
set(QVO_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qvotk)
install(EXPORT qvotkTargets NAMESPACE qvotk:: DESTINATION ${QVO_PACKAGE_DIR})
configure_package_config_file(cmake/qvotkConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/qvotkConfig.cmake
  INSTALL_DESTINATION ${QVO_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qvotkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvotkConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/qvotkConfigVersion.cmake
  DESTINATION ${QVO_PACKAGE_DIR})
file(RELATIVE_PATH QVO_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(cmake/qvotk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qvotk.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvotk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
