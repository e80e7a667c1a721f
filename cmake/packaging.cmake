# Installation and packages: the tools in bin/, the README in the
# documentation folder. cpack makes a .tar.gz and a .deb on Linux and a .zip
# for Windows, named with the project's version.
include(GNUInstallDirs)
install(TARGETS d88cut d88info RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Extracts a game's program and data files from D88 disk images")
set(CPACK_PACKAGE_CONTACT "d88cut maintainers <d88cut@invalid>")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/")
include(CPack)
