# Programs that carry the driver itself: tests, fuzz targets, benchmarks and
# the Wine lane's tests. Each gets the portable driver and one foundation
# beneath it:
#   FOUNDATION simulated      the simulated serial line with its virtual clock
#                             (tests/sim_line); the default
#   FOUNDATION platform       this platform's serial services; on POSIX with
#                             the system calls counted (tests/support)
#   FOUNDATION win32-standin  the Windows foundation's own sources on the
#                             Win32 stand-in (tests/win32_standin)
# and REPORTS recorded (the default: kept for the test to read back) or
# platform (the host's own error report).
#   qvo_add_driver_program(NAME SOURCES... [FOUNDATION f] [REPORTS r] [LIBRARIES l...])
function(qvo_add_driver_program name)
  cmake_parse_arguments(ARG "" "FOUNDATION;REPORTS" "LIBRARIES" ${ARGN})
  if(NOT ARG_FOUNDATION OR ARG_FOUNDATION STREQUAL "simulated")
    set(foundation qvo_serial_sim qvo_file_platform)
  elseif(ARG_FOUNDATION STREQUAL "platform")
    set(foundation qvo_serial_platform qvo_file_platform)
    if(NOT WIN32)
      list(APPEND foundation qvo_posix_calls_seen)
    endif()
  elseif(ARG_FOUNDATION STREQUAL "win32-standin")
    set(foundation qvo_win32_standin_foundation)
  else()
    message(FATAL_ERROR "qvo_add_driver_program(${name}): no foundation called ${ARG_FOUNDATION}")
  endif()
  if(ARG_REPORTS STREQUAL "platform")
    set(reports qvo_report_platform)
  else()
    set(reports qvo_recorded_reports)
  endif()
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE qvo_driver ${foundation} ${reports} qvo_test_support qvo_host_facts
    ${ARG_LIBRARIES})
endfunction()
