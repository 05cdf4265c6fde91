# Installation layout, man pages, desktop files, the administrator start and the .deb.
#
#   <libexecdir>/tidewipe/   tidewipe, tidewipe-cli, sentrel, tidewipe-admin and help/:
#                            the programs side by side, so ProgramFolder() finds the guard
#                            beside the panel and the help pages beside both
#   <bindir>/                relative symlinks of the same names into that folder
#   <datadir>/...            man pages, bash completion, .desktop, icon, metainfo, polkit
#                            action, the guard's autostart entry (a template the status
#                            page copies per user) and its systemd user unit
# Nothing is written outside the prefix: no post-install step touches /etc or $HOME.
include(GNUInstallDirs)

set(TW_PROGRAM_DIR ${CMAKE_INSTALL_LIBEXECDIR}/tidewipe)
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBEXECDIR})
  set(TW_PROGRAM_DIR_ABS ${TW_PROGRAM_DIR})
else()
  set(TW_PROGRAM_DIR_ABS ${CMAKE_INSTALL_PREFIX}/${TW_PROGRAM_DIR})
endif()

# --version of every program.
foreach(_prog tidewipe-cli sentrel tidewipe)
  if(TARGET ${_prog})
    target_compile_definitions(${_prog} PRIVATE TW_VERSION="${PROJECT_VERSION}")
  endif()
endforeach()

set(_programs)
foreach(_prog tidewipe tidewipe-cli sentrel)
  if(TARGET ${_prog})
    list(APPEND _programs ${_prog})
  endif()
endforeach()
install(TARGETS ${_programs} RUNTIME DESTINATION ${TW_PROGRAM_DIR})
if(TARGET tidewipe)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/help/ DESTINATION ${TW_PROGRAM_DIR}/help
          FILES_MATCHING PATTERN "*.html")
endif()

# The administrator launcher (pkexec) and its polkit action name the installed path.
configure_file(${CMAKE_SOURCE_DIR}/resources/desktop/tidewipe-admin.in
               ${CMAKE_BINARY_DIR}/install/tidewipe-admin @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/resources/desktop/org.tidewipe.Tidewipe.policy.in
               ${CMAKE_BINARY_DIR}/install/org.tidewipe.Tidewipe.policy @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/install/tidewipe-admin DESTINATION ${TW_PROGRAM_DIR})
install(FILES ${CMAKE_BINARY_DIR}/install/org.tidewipe.Tidewipe.policy
        DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)

# Commands on the PATH: relative links, so a DESTDIR or a moved prefix keeps working.
file(RELATIVE_PATH _to_programs ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
     ${TW_PROGRAM_DIR_ABS})
foreach(_prog ${_programs} tidewipe-admin)
  install(CODE "
    set(_bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${_bin}\")
    file(REMOVE \"\${_bin}/${_prog}\")
    file(CREATE_LINK \"${_to_programs}/${_prog}\" \"\${_bin}/${_prog}\" SYMBOLIC)
    message(STATUS \"Installing: \${_bin}/${_prog} -> ${_to_programs}/${_prog}\")")
endforeach()

set(TW_SYSTEMD_USER_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/user)
# Man pages: hand-written roff, the version filled in, compressed as Debian ships them.
set(_man_out)
foreach(_page tidewipe.1 tidewipe-cli.1 sentrel.1 tidewipe-admin.1)
  set(_src ${CMAKE_SOURCE_DIR}/resources/man/${_page})
  set(_roff ${CMAKE_BINARY_DIR}/man/${_page})
  configure_file(${_src} ${_roff} @ONLY)
  add_custom_command(OUTPUT ${_roff}.gz
                     COMMAND gzip -9nkf ${_roff}
                     DEPENDS ${_roff} ${_src}
                     COMMENT "Compressing man page ${_page}")
  list(APPEND _man_out ${_roff}.gz)
endforeach()
add_custom_target(tw_man_pages ALL DEPENDS ${_man_out})
install(FILES ${_man_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CMAKE_SOURCE_DIR}/resources/completion/tidewipe-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tidewipe-cli)

# Desktop integration.
set(SENTREL_PATH ${TW_PROGRAM_DIR_ABS}/sentrel)
configure_file(${CMAKE_SOURCE_DIR}/resources/sentrel.desktop
               ${CMAKE_BINARY_DIR}/install/sentrel.desktop @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/resources/sentrel.service
               ${CMAKE_BINARY_DIR}/install/sentrel.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/sentrel.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tidewipe/autostart)
install(FILES ${CMAKE_BINARY_DIR}/install/sentrel.service
        DESTINATION lib/systemd/user)
if(TARGET tidewipe)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/org.tidewipe.Tidewipe.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/tidewipe.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/org.tidewipe.Tidewipe.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
# The documentation folder is named after the package, whatever the project is called.
set(_doc ${CMAKE_INSTALL_DATADIR}/doc/tidewipe)
configure_file(${CMAKE_SOURCE_DIR}/resources/debian/changelog.in
               ${CMAKE_BINARY_DIR}/install/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/install/changelog.gz
                   COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/install/changelog
                   DEPENDS ${CMAKE_BINARY_DIR}/install/changelog)
add_custom_target(tw_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/install/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/resources/debian/copyright
              ${CMAKE_BINARY_DIR}/install/changelog.gz
        DESTINATION ${_doc})

# The .deb (./run package). Dependencies come from the programs' shared libraries
# (dpkg-shlibdeps), not from a hand-kept list. Users' settings, logs and receipts live
# in their home folders, which no maintainer script touches: removal leaves them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tidewipe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tidewipe developers <tidewipe@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privacy and drive clean-up suite")
set(CPACK_PACKAGE_DESCRIPTION
    "Tidewipe wipes files, free space and file slack for good, searches NTFS\n"
    "and FAT32 volumes for deleted files, recovers them or wipes their traces,\n"
    "wipes and restores the Trash, runs timed clean-ups and keeps a daily\n"
    "activity log. It has a Qt control panel (tidewipe), a command-line\n"
    "program (tidewipe-cli) and a resident guard (sentrel).")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# pkexec for the administrator start, ntfs-3g for NTFS clean-ups on mounted volumes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec | policykit-1, ntfs-3g")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tidewipe.invalid/")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_INSTALL_DIRECTORY tidewipe)
# The paths written into the unit, the autostart entry and the polkit action are the
# configured prefix's: ./run package configures with CMAKE_INSTALL_PREFIX=/usr.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
