# What `cmake --install` puts where, and the .deb packages CPack makes of it
# (scripts/package). Three components, one package each:
#   daemon  tolvexd: the daemon, /etc/tolvexd/config.xml, tolvexd@.service,
#           its man page and service user
#   was     tolvex-was: the reference WAS, tolvex-was.service, man page, user
#   tools   tolvex-tools: tolvex-cli, tolvex-bench, tolvex-was-load, tolvex-was-seed
# Files that name installed paths (the units, the configuration) are made at
# install time, when the prefix is known (cmake/InstallGenerated.cmake).

set(TOLVEX_UNIT_DEST lib/systemd/system)
set(TOLVEX_SYSUSERS_DEST lib/sysusers.d)

function(tolvex_install_generated component)
  install(CODE "
    set(TOLVEX_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
    set(TOLVEX_WORK_DIR \"${PROJECT_BINARY_DIR}/install-generated/${component}\")
    set(TOLVEX_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
    set(TOLVEX_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
    set(TOLVEX_COMPONENT ${component})
    include(\"${PROJECT_SOURCE_DIR}/cmake/InstallGenerated.cmake\")"
    COMPONENT ${component})
endfunction()

install(TARGETS tolvexd DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
install(FILES man/tolvexd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT daemon)
install(FILES packaging/sysusers/tolvexd.conf DESTINATION ${TOLVEX_SYSUSERS_DEST} COMPONENT daemon)
tolvex_install_generated(daemon)

set(TOLVEX_COMPONENTS daemon tools)
if(TARGET tolvex-was)
  install(TARGETS tolvex-was DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT was)
  install(FILES man/tolvex-was.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT was)
  install(FILES packaging/sysusers/tolvex-was.conf DESTINATION ${TOLVEX_SYSUSERS_DEST} COMPONENT was)
  tolvex_install_generated(was)
  list(APPEND TOLVEX_COMPONENTS was)
endif()

install(TARGETS tolvex-cli DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES man/tolvex-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
foreach(tool tolvex-bench tolvex-was-load tolvex-was-seed)
  if(TARGET ${tool})
    install(TARGETS ${tool} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

# Maintainer scripts: the service user and systemd's view of the units.
function(tolvex_deb_scripts component pkg user home units)
  set(out ${PROJECT_BINARY_DIR}/deb/${component})
  set(PKG ${pkg})
  set(USER ${user})
  set(HOME ${home})
  set(UNITS ${units})
  foreach(script postinst prerm postrm)
    configure_file(packaging/deb/${script}.in ${out}/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(extra ${out}/postinst ${out}/prerm ${out}/postrm)
  if(component STREQUAL "daemon")
    # dpkg keeps an operator's edits of the configuration across upgrades.
    file(WRITE ${out}/conffiles "/etc/tolvexd/config.xml\n")
    list(APPEND extra ${out}/conffiles)
  endif()
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA "${extra}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_STRICT_PERMISSION TRUE PARENT_SCOPE)
endfunction()

tolvex_deb_scripts(daemon tolvexd tolvex /var/lib/tolvexd "tolvexd@*.service")
tolvex_deb_scripts(was tolvex-was tolvex-was /var/lib/tolvex-was tolvex-was.service)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvexd)
set(CPACK_PACKAGE_VENDOR tolvexd)
set(CPACK_PACKAGE_CONTACT "tolvexd maintainers <tolvexd@localhost>")
set(CPACK_COMPONENTS_ALL ${TOLVEX_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Packages install under /usr with the configuration in /etc; DESTDIR lets
# the install-time files see that prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME tolvexd)
set(CPACK_DEBIAN_WAS_PACKAGE_NAME tolvex-was)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tolvex-tools)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "chat relay daemon of a messenger with PC and mobile clients\nRelays messages between the members of rooms, tracks every recipient's\ndelivery and persists everything through a WAS. Runs as tolvexd@N.service.")
set(CPACK_DEBIAN_WAS_DESCRIPTION "tolvex-was, the reference WAS of tolvexd\nStores rooms, members, messages and delivery states in SQLite. Runs as\ntolvex-was.service.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "client and load tools of tolvexd\ntolvex-cli chats from a terminal; tolvex-bench, tolvex-was-load and\ntolvex-was-seed measure the daemon and the WAS.")
include(CPack)
