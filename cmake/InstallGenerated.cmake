# Runs at install time, once the prefix is known (cmake --install --prefix,
# or /usr for the packages): the files that name installed paths.
#   TOLVEX_SOURCE_DIR, TOLVEX_WORK_DIR  the tree and a scratch folder
#   TOLVEX_SBINDIR, TOLVEX_SYSCONFDIR   as GNUInstallDirs gave them
#   TOLVEX_COMPONENT                    daemon or was

# GNUInstallDirs' own rule: under /usr the configuration goes to /etc.
function(tolvex_full_dir out dir is_conf)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  elseif(is_conf AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(${out} "/${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

tolvex_full_dir(TOLVEX_SBINDIR "${TOLVEX_SBINDIR}" FALSE)
tolvex_full_dir(etc "${TOLVEX_SYSCONFDIR}" TRUE)
set(TOLVEX_CONFDIR "${etc}/tolvexd")
set(unitdir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
file(MAKE_DIRECTORY "${TOLVEX_WORK_DIR}")

if(TOLVEX_COMPONENT STREQUAL "daemon")
  configure_file("${TOLVEX_SOURCE_DIR}/packaging/systemd/tolvexd@.service.in" "${TOLVEX_WORK_DIR}/tolvexd@.service" @ONLY)
  file(INSTALL "${TOLVEX_WORK_DIR}/tolvexd@.service" DESTINATION "${unitdir}")

  # The shipped file with the logs in /var/log/tolvexd (LogsDirectory of
  # the unit) instead of the tree's var/log.
  file(READ "${TOLVEX_SOURCE_DIR}/etc/config.xml" xml)
  string(REGEX REPLACE "<!-- tolvexd configuration\\.[^>]*-->"
         "<!-- tolvexd configuration as installed: the logs go to /var/log/tolvexd; the\n     tolvexd@N unit gives the server id N and the journal folder. -->" xml "${xml}")
  string(REGEX REPLACE "<cmdlogpath>[^<]*</cmdlogpath>" "<cmdlogpath>/var/log/tolvexd</cmdlogpath>" xml "${xml}")
  string(REGEX REPLACE "<tracelogpath>[^<]*</tracelogpath>" "<tracelogpath>/var/log/tolvexd</tracelogpath>" xml "${xml}")
  file(WRITE "${TOLVEX_WORK_DIR}/config.xml" "${xml}")
  # An operator's edited file stays; the new one lands beside it.
  if(EXISTS "$ENV{DESTDIR}${TOLVEX_CONFDIR}/config.xml")
    file(READ "$ENV{DESTDIR}${TOLVEX_CONFDIR}/config.xml" current)
    if(NOT current STREQUAL xml)
      file(INSTALL "${TOLVEX_WORK_DIR}/config.xml" DESTINATION "${TOLVEX_CONFDIR}" RENAME config.xml.dist)
      message(STATUS "Kept ${TOLVEX_CONFDIR}/config.xml; the shipped one is config.xml.dist")
      return()
    endif()
  endif()
  file(INSTALL "${TOLVEX_WORK_DIR}/config.xml" DESTINATION "${TOLVEX_CONFDIR}")
elseif(TOLVEX_COMPONENT STREQUAL "was")
  configure_file("${TOLVEX_SOURCE_DIR}/packaging/systemd/tolvex-was.service.in" "${TOLVEX_WORK_DIR}/tolvex-was.service" @ONLY)
  file(INSTALL "${TOLVEX_WORK_DIR}/tolvex-was.service" DESTINATION "${unitdir}")
endif()
