# Installation and packages: a Debian package with the tool and its manual
# page on POSIX; a .zip with BODYCUT.EXE and a short read-me for Windows.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME bodycut)
set(CPACK_PACKAGE_VENDOR "BODYCUT developers")
set(CPACK_PACKAGE_CONTACT "BODYCUT developers <bodycut@invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remove the HTTP response header from saved files, in place")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})

if(WIN32)
  install(TARGETS bodycut RUNTIME DESTINATION .)
  # Windows users read it with Notepad: CR LF line ends.
  configure_file(${PROJECT_SOURCE_DIR}/doc/README-WINDOWS.TXT.in ${PROJECT_BINARY_DIR}/README.TXT
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.TXT DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME bodycut-${PROJECT_VERSION}-win32)
else()
  install(TARGETS bodycut RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/doc/bodycut.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
