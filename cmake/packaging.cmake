# The Debian packages: cmake --build BUILD --target package (scripts/build-package
# makes a build without tests for it) makes two, ARCH as dpkg names this machine's:
# - skirmish-server_VERSION_ARCH.deb: the server, the operators' tool, the recordings
#   tool, the web pages, the systemd units and their configuration; no graphics
#   library, for a headless host;
# - skirmish-client_VERSION_ARCH.deb: the desktop client (when built), the bot and
#   the relay.
# Each program has a man page in its package.
include(GNUInstallDirs)

set(skirmish_server_programs skirmish-server skirmish-admin skirmish-demo)
set(skirmish_client_programs skirmish-bot skirmish-relay)
if(TARGET skirmish-client)
  list(APPEND skirmish_client_programs skirmish-client)
endif()
set(skirmish_summaries
  skirmish-server "host a Skirmish match"
  skirmish-admin "send an operator's command to a running Skirmish server"
  skirmish-demo "inspect, verify and cut Skirmish recordings"
  skirmish-bot "play simulated players against a Skirmish server"
  skirmish-relay "relay UDP between a Skirmish client and server, impairing the link"
  skirmish-client "play Skirmish on a desktop")
target_compile_definitions(skirmish-admin PRIVATE SKIRMISH_VERSION="${PROJECT_VERSION}")

# Man pages from each program's --help, so they never drift from it, with the sections
# no --help carries (a synopsis, the files, related pages) from deploy/man/PROGRAM.h2m.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(STATUS "help2man not found: the packages will have no man pages (scripts/packages-package lists it)")
endif()

foreach(component server client)
  install(TARGETS ${skirmish_${component}_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  # Each package's changelog and copyright, in its own documentation folder.
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/skirmish-${component})
  install(FILES ${CMAKE_BINARY_DIR}/changelog.gz deploy/debian/copyright DESTINATION ${doc} COMPONENT ${component})
  if(NOT HELP2MAN)
    continue()
  endif()
  foreach(program IN LISTS skirmish_${component}_programs)
    list(FIND skirmish_summaries ${program} at)
    math(EXPR at "${at} + 1")
    list(GET skirmish_summaries ${at} summary)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    set(include ${PROJECT_SOURCE_DIR}/deploy/man/${program}.h2m)
    set(include_args)
    if(EXISTS ${include})
      set(include_args --include=${include})
    else()
      set(include)
    endif()
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "\"$0\" --no-info --no-discard-stderr --version-string=\"$1\" --name=\"$2\" $3 \"$4\" | gzip -9n > \"$5\""
              ${HELP2MAN} ${PROJECT_VERSION} ${summary} "${include_args}" $<TARGET_FILE:${program}> ${page}
      DEPENDS ${program} ${include} VERBATIM)
    list(APPEND man_pages ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  endforeach()
endforeach()
if(man_pages)
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
endif()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/deploy/debian/changelog ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS deploy/debian/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)

# The server serves its pages from its own binary; this copy is for a proxy or CDN in front.
install(FILES ${web_paths} DESTINATION ${CMAKE_INSTALL_DATADIR}/skirmish/web COMPONENT server)
# Debian's systemd units live in /lib on bookworm; the configuration is a conffile.
install(FILES deploy/skirmish.service deploy/skirmish@.service DESTINATION /lib/systemd/system COMPONENT server)
install(FILES deploy/skirmish.conf DESTINATION /etc/skirmish COMPONENT server)
install(FILES deploy/match.conf DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/skirmish-server/examples COMPONENT server)
install(FILES deploy/grafana-dashboard.json DESTINATION ${CMAKE_INSTALL_DATADIR}/skirmish COMPONENT server)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server client)
set(CPACK_PACKAGE_NAME skirmish)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Skirmish developers <skirmish@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
# Both take over from the single package "skirmish" of earlier versions (dpkg removes it).
set(CPACK_DEBIAN_PACKAGE_CONFLICTS "skirmish")
set(CPACK_DEBIAN_PACKAGE_REPLACES "skirmish")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME skirmish-server)
# A network server (hence not games, /usr/games).
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
# The synopsis, then the extended description (CPack indents it).
set(CPACK_DEBIAN_SERVER_DESCRIPTION "authoritative server of a top-down multiplayer shooter
Skirmish hosts a match over UDP (ENet) and WebSocket, serves its browser page,
spectators, recordings and Prometheus metrics. systemd units run one match, or
one per instance of skirmish@, sandboxed. With the operators' tool and the
recordings tool; no graphics library.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/deploy/debian/conffiles ${PROJECT_SOURCE_DIR}/deploy/debian/postinst
  ${PROJECT_SOURCE_DIR}/deploy/debian/prerm ${PROJECT_SOURCE_DIR}/deploy/debian/postrm)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME skirmish-client)
# net, like the server: games would want the programs in /usr/games.
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION net)
if(TARGET skirmish-client)
  # The desktop client draws its text with one of these fonts.
  set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "fonts-dejavu-core | fonts-liberation")
endif()
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "desktop client, bots and relay for Skirmish servers
The players' side of Skirmish, a top-down multiplayer shooter: a desktop
client (SDL2), simulated players to fill or load a server, and a relay that
impairs the link between a client and a server (delay, loss, jitter).")
include(CPack)
