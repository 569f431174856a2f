# The driver: one set of portable objects, and per platform the foundation
# that reaches the serial ports and the host's error reports. Which
# foundation a binary gets is decided by what it links.

add_library(qvo_driver OBJECT
  src/entry/entry.cpp
  src/entry/driver_info.cpp
  src/entry/channel.cpp
  src/protocol/frame.cpp
  src/protocol/request_frames.cpp
  src/protocol/value_requests.cpp
  src/protocol/replies.cpp
  src/address/point_address.cpp
  src/serial/serial_port.cpp
  src/serial/exchange.cpp
)
target_include_directories(qvo_driver PUBLIC ${PROJECT_SOURCE_DIR}/src)
# The driver runs inside the host's process: no exceptions, no RTTI, and
# nothing visible but the export.
target_compile_options(qvo_driver PRIVATE -fno-exceptions -fno-rtti)
set_target_properties(qvo_driver PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

if(WIN32)
  add_library(qvo_report_platform OBJECT src/entry/host_report_win32.cpp)
  add_library(qvo_serial_platform OBJECT src/serial/services_win32.cpp)
  add_library(qvo_file_platform OBJECT src/entry/station_file_win32.cpp)
else()
  add_library(qvo_report_platform OBJECT src/entry/host_report_posix.cpp)
  add_library(qvo_serial_platform OBJECT src/serial/services_posix.cpp)
  add_library(qvo_file_platform OBJECT src/entry/station_file_posix.cpp)
endif()
foreach(foundation qvo_report_platform qvo_serial_platform qvo_file_platform)
  target_link_libraries(${foundation} PRIVATE qvo_driver)
  target_compile_options(${foundation} PRIVATE -fno-exceptions -fno-rtti)
  set_target_properties(${foundation} PROPERTIES CXX_VISIBILITY_PRESET hidden)
endforeach()

add_library(qvotk SHARED)
set_target_properties(qvotk PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${QVO_OUTPUT_DIRECTORY} RUNTIME_OUTPUT_DIRECTORY ${QVO_OUTPUT_DIRECTORY})
target_link_libraries(qvotk PRIVATE qvo_driver qvo_serial_platform qvo_file_platform qvo_report_platform)
if(WIN32)
  enable_language(RC)
  configure_file(cmake/qvotk.rc.in ${CMAKE_CURRENT_BINARY_DIR}/qvotk.rc COPYONLY)
  target_sources(qvotk PRIVATE cmake/qvotk.def ${CMAKE_CURRENT_BINARY_DIR}/qvotk.rc)
  set_target_properties(qvotk PROPERTIES PREFIX "")
  target_link_options(qvotk PRIVATE -static-libgcc -static-libstdc++)
else()
  target_link_options(qvotk PRIVATE
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/libqvotk.map -Wl,--no-undefined)
  set_target_properties(qvotk PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/libqvotk.map)
endif()

if(WIN32 AND QVO_BUILD_TESTS)
  enable_testing()
  find_program(QVO_MINGW_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
  add_test(NAME windows_dll_exports_only_QvoMain
    COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/check-windows-dll.sh $<TARGET_FILE:qvotk>)
  set_tests_properties(windows_dll_exports_only_QvoMain PROPERTIES ENVIRONMENT OBJDUMP=${QVO_MINGW_OBJDUMP})
endif()

include(GNUInstallDirs)
install(TARGETS qvotk
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES src/entry/request.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvotk)
