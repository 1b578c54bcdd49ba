# What `cmake --install` puts where. Every destination is relative to the prefix (GNUInstallDirs), so
# `cmake --install build --prefix /some/dir` gives a tree that can be moved anywhere; a package build
# passes absolute directories (/etc) itself.
#
#   bin/                       murmelo-publish, murmelo-keytool, murmelo-updated
#   <libdir>/murmelo-update/   the updater (`update`) and translations/: what a client package copies
#                              into its installation directory (docs/publishing.md)
#   <sysconfdir>/              murmelo-updated.conf, the update server's example configuration
#   lib/systemd/system/        murmelo-updated.service, naming the programs under the install prefix
#   <docdir>/                  README and the vendor guides
include(GNUInstallDirs)

set(MURMELO_UPDATER_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/murmelo-update CACHE STRING
    "Where the updater and its translations are installed for client packages to copy, relative to the prefix")
set(MURMELO_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the update server's systemd unit is installed, relative to the prefix or absolute")

install(TARGETS murmelo-publish murmelo-updated RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A bare "keytool" in a shared bin directory is already another program's name.
install(PROGRAMS $<TARGET_FILE:keytool> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME murmelo-keytool)

install(TARGETS update RUNTIME DESTINATION ${MURMELO_UPDATER_INSTALL_DIR})
# The .qm files are build outputs of the update target and its catalogue copy, both under bin/translations.
install(DIRECTORY ${CMAKE_BINARY_DIR}/bin/translations DESTINATION ${MURMELO_UPDATER_INSTALL_DIR}
        FILES_MATCHING PATTERN "*.qm")

install(FILES ${CMAKE_SOURCE_DIR}/dist/murmelo-updated.conf DESTINATION ${CMAKE_INSTALL_SYSCONFDIR})
# The unit names the programs by absolute path, so it is written for the prefix of this installation.
install(CODE "
    set(MURMELO_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(MURMELO_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
    if(NOT IS_ABSOLUTE \"\${MURMELO_SYSCONFDIR}\")
        set(MURMELO_SYSCONFDIR \"\${CMAKE_INSTALL_PREFIX}/\${MURMELO_SYSCONFDIR}\")
    endif()
    configure_file(\"${CMAKE_SOURCE_DIR}/dist/systemd/murmelo-updated.service.in\"
                   \"${CMAKE_BINARY_DIR}/generated/murmelo-updated.service\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/generated/murmelo-updated.service DESTINATION ${MURMELO_SYSTEMD_UNIT_DIR})

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/publishing.md ${CMAKE_SOURCE_DIR}/docs/update-server.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The tools need only the system's libraries. The updater looks beside itself first, where a relocatable
# bundle (scripts/bundle) puts the toolkit's libraries.
set_target_properties(murmelo-publish murmelo-updated PROPERTIES INSTALL_RPATH "")
set_target_properties(update PROPERTIES INSTALL_RPATH "$ORIGIN")
