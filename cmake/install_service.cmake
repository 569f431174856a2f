# Installs qvotk-gateway's systemd unit and its configuration. Run by
# `cmake --install`, so that the paths are those of the prefix given there
# (--prefix may differ from the configured one):
#   the unit: where systemd looks for the units of that prefix, as systemd.pc
#     says with the prefix as its root prefix (<prefix>/lib/systemd/system;
#     /usr's units are /lib's), its ExecStart the installed binary;
#   the configuration: <sysconfdir>/qvotk/gateway.toml (/etc for the prefix
#     /usr, as GNUInstallDirs has it), 0644; one already there is kept.
# Set by the project: QVO_SERVICE_TEMPLATE, QVO_SERVICE_CONFIG (the example
# installed as the configuration), QVO_SERVICE_BINDIR, QVO_SERVICE_SYSCONFDIR
# (as configured, relative or absolute), QVO_SERVICE_WORK (a folder of the
# build) and QVO_PKG_CONFIG (may be empty).

set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(root "")
else()
  set(root "${prefix}")
endif()

set(unit_dir "${root}/lib/systemd/system")
if(QVO_PKG_CONFIG)
  execute_process(
    COMMAND "${QVO_PKG_CONFIG}" --define-variable=prefix=${prefix} --define-variable=rootprefix=${root}
      --variable=systemdsystemunitdir systemd
    OUTPUT_VARIABLE asked OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  # Only an answer inside the prefix: a systemd.pc that ignores the root
  # prefix would send the unit outside it.
  if(NOT failed AND asked MATCHES "^${root}/")
    set(unit_dir "${asked}")
  endif()
endif()

if(IS_ABSOLUTE "${QVO_SERVICE_BINDIR}")
  set(bindir "${QVO_SERVICE_BINDIR}")
else()
  set(bindir "${prefix}/${QVO_SERVICE_BINDIR}")
endif()
if(IS_ABSOLUTE "${QVO_SERVICE_SYSCONFDIR}")
  set(sysconfdir "${QVO_SERVICE_SYSCONFDIR}")
elseif(prefix STREQUAL "/usr")
  set(sysconfdir "/${QVO_SERVICE_SYSCONFDIR}")
else()
  set(sysconfdir "${prefix}/${QVO_SERVICE_SYSCONFDIR}")
endif()

set(QVO_GATEWAY_BINARY "${bindir}/qvotk-gateway")
set(QVO_GATEWAY_CONFIG "${sysconfdir}/qvotk/gateway.toml")
configure_file("${QVO_SERVICE_TEMPLATE}" "${QVO_SERVICE_WORK}/qvotk-gateway.service" @ONLY)
file(INSTALL "${QVO_SERVICE_WORK}/qvotk-gateway.service" DESTINATION "${unit_dir}")
if(EXISTS "$ENV{DESTDIR}${QVO_GATEWAY_CONFIG}")
  message(STATUS "Kept: $ENV{DESTDIR}${QVO_GATEWAY_CONFIG}")
else()
  file(INSTALL "${QVO_SERVICE_CONFIG}" DESTINATION "${sysconfdir}/qvotk" RENAME gateway.toml)
endif()
