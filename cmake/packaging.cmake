# The Debian package: cmake --build build --target package makes
# skirmish_VERSION_ARCH.deb (ARCH as dpkg names this machine's) with every program,
# the web pages, a man page per program, the systemd units and their configuration.
include(GNUInstallDirs)

set(skirmish_programs skirmish-server skirmish-bot skirmish-admin skirmish-demo skirmish-relay)
set(skirmish_summaries
  "host a Skirmish match" "play simulated players against a Skirmish server"
  "send an operator's command to a running Skirmish server" "inspect, verify and cut Skirmish recordings"
  "relay UDP between a Skirmish client and server, impairing the link")
if(TARGET skirmish-client)
  list(APPEND skirmish_programs skirmish-client)
  list(APPEND skirmish_summaries "play Skirmish on a desktop")
endif()
install(TARGETS ${skirmish_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The server serves its pages from its own binary; this copy is for a proxy or CDN in front.
install(FILES ${web_paths} DESTINATION ${CMAKE_INSTALL_DATADIR}/skirmish/web)

# Man pages from each program's --help, so they never drift from it.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(man_pages)
  foreach(program summary IN ZIP_LISTS skirmish_programs skirmish_summaries)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "\"$0\" --no-info --no-discard-stderr --version-string=\"$1\" --name=\"$2\" \"$3\" | gzip -9n > \"$4\""
              ${HELP2MAN} ${PROJECT_VERSION} ${summary} $<TARGET_FILE:${program}> ${page}
      DEPENDS ${program} VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found: the package will have no man pages (scripts/install-deps installs it)")
endif()

# Debian's systemd units live in /lib on bookworm; the configuration is a conffile.
install(FILES deploy/skirmish.service deploy/skirmish@.service DESTINATION /lib/systemd/system)
install(FILES deploy/skirmish.conf DESTINATION /etc/skirmish)
install(FILES deploy/match.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/deploy/debian/changelog ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS deploy/debian/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz deploy/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME skirmish)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Skirmish developers <skirmish@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "authoritative server of a top-down multiplayer shooter")
# The synopsis is the summary above; this is the extended description (CPack indents it).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Skirmish hosts a match over UDP (ENet) and WebSocket, serves its browser page,
spectators, recordings and Prometheus metrics, and comes with bots, an
operators' tool, a recordings tool, a link-impairing relay and a desktop
client. systemd units run one match, or one per instance of skirmish@.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A network server first (the desktop client is the extra), hence not games (/usr/games).
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/deploy/debian/conffiles ${PROJECT_SOURCE_DIR}/deploy/debian/postinst
  ${PROJECT_SOURCE_DIR}/deploy/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
include(CPack)
