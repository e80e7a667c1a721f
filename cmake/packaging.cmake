# Installation and packages.
#
# Two components: "tools", the programs with their README, docs/, copyright
# file and manual pages, and "dev", the reader library for other programs:
# its public headers under include/d88/, the static library, a CMake package
# (after find_package(d88cut CONFIG), the target d88cut::d88) and the
# pkg-config file d88.pc. "archive_docs" holds LICENSE and CHANGELOG.md for
# the archives; each .deb has them in Debian's form instead ("deb_tools",
# "deb_dev": the copyright file and changelog.gz of the package).
#
# cpack makes a .tar.gz holding both and a .deb of each (d88cut and
# d88cut-dev) on Linux, and a .zip of the tools for Windows, named with the
# project's version.
include(CMakePackageConfigHelpers)
include(cmake/debian_changelog.cmake)

# The programs of the tools package, each with its manual page man/NAME.1.
# A new program is added here (and to the package-windows build preset).
set(D88CUT_TOOLS d88cut d88info CACHE INTERNAL
    "The programs that the packages hold")

set(D88CUT_PACKAGE_CONTACT
    "d88cut developers <d88cut@users.noreply.github.com>")
set(D88CUT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/d88cut)
set(D88CUT_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# --- tools ---------------------------------------------------------------
install(TARGETS ${D88CUT_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tools)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        COMPONENT tools FILES_MATCHING PATTERN "*.md")
install(FILES LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT archive_docs)

# The manual pages, compressed as Debian keeps them (-n: no name or time in
# the header, so that a rebuild gives the same bytes). Their title line
# names the version, which must be the project's.
set(man_sources)
foreach(tool IN LISTS D88CUT_TOOLS)
  list(APPEND man_sources ${tool}.1)
endforeach()
foreach(page IN LISTS man_sources)
  file(STRINGS man/${page} title REGEX "^\\.TH ")
  if(NOT title MATCHES "\"d88cut ${PROJECT_VERSION}\"")
    message(FATAL_ERROR "man/${page}: the .TH line does not name version "
                        "${PROJECT_VERSION}: ${title}")
  endif()
endforeach()
if(NOT WIN32)
  find_program(D88CUT_GZIP gzip)
  set(man_pages)
  foreach(page IN LISTS man_sources)
    set(source ${PROJECT_SOURCE_DIR}/man/${page})
    if(D88CUT_GZIP)
      set(page_file ${PROJECT_BINARY_DIR}/man/${page})
      add_custom_command(
        OUTPUT ${page_file}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${page_file}
        COMMAND ${D88CUT_GZIP} -9nf ${page_file}
        DEPENDS ${source}
        VERBATIM)
      list(APPEND man_pages ${page_file}.gz)
    else()
      list(APPEND man_pages ${source})
    endif()
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT tools)
endif()

# --- dev -----------------------------------------------------------------
install(FILES src/d88/d88_image.h src/d88/d88_format.h src/d88/input_file.h
              ${PROJECT_BINARY_DIR}/include/d88/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/d88 COMPONENT dev)
install(TARGETS d88 EXPORT d88cutTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(EXPORT d88cutTargets NAMESPACE d88cut::
        DESTINATION ${D88CUT_CMAKE_DIR} COMPONENT dev)
file(WRITE ${PROJECT_BINARY_DIR}/d88cutConfig.cmake
     "include(\"\${CMAKE_CURRENT_LIST_DIR}/d88cutTargets.cmake\")\n")
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/d88cutConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/d88cutConfig.cmake
              ${PROJECT_BINARY_DIR}/d88cutConfigVersion.cmake
        DESTINATION ${D88CUT_CMAKE_DIR} COMPONENT dev)

# d88.pc finds the prefix from its own place, so that it is right wherever
# the files are installed or unpacked.
file(RELATIVE_PATH D88CUT_PC_TO_PREFIX
     /prefix/${D88CUT_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" D88CUT_PC_TO_PREFIX "${D88CUT_PC_TO_PREFIX}")
configure_file(cmake/d88.pc.in ${PROJECT_BINARY_DIR}/d88.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/d88.pc DESTINATION ${D88CUT_PKGCONFIG_DIR}
        COMPONENT dev)

# --- Debian's copyright files: LICENSE in the machine-readable format ------
file(READ LICENSE license_text)
if(NOT license_text MATCHES "Copyright \\(c\\) ([0-9]+) ([^\n]+)\n\n(.*)$")
  message(FATAL_ERROR "LICENSE: no copyright line")
endif()
set(copyright "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
string(STRIP "${CMAKE_MATCH_3}" license_body)
# Each line of the licence text indented by one blank, empty lines as " .".
string(REPLACE "\n\n" "\n.\n" license_body "${license_body}")
string(REPLACE "\n" "\n " license_body "${license_body}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: ${PROJECT_NAME}\n"
     "Upstream-Contact: ${D88CUT_PACKAGE_CONTACT}\n"
     "\n"
     "Files: *\n"
     "Copyright: ${copyright}\n"
     "License: Expat\n"
     " ${license_body}\n")
# The tools' goes into every package of them; d88cut-dev has its own.
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/d88cut COMPONENT tools)
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/d88cut-dev
        COMPONENT deb_dev)

# --- Debian's changelog: CHANGELOG.md in Debian's format, compressed ------
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
d88cut_debian_changelog(${PROJECT_SOURCE_DIR}/CHANGELOG.md
                        ${PROJECT_BINARY_DIR}/debian/changelog.txt
                        "${D88CUT_PACKAGE_CONTACT}")
if(NOT WIN32 AND D88CUT_GZIP)
  # A package versioned without a Debian revision is native: its changelog
  # is changelog.gz. -n keeps the bytes the same from build to build.
  set(deb_changelog ${PROJECT_BINARY_DIR}/debian/changelog)
  add_custom_command(
    OUTPUT ${deb_changelog}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${deb_changelog}.txt ${deb_changelog}
    COMMAND ${D88CUT_GZIP} -9nf ${deb_changelog}
    DEPENDS ${deb_changelog}.txt
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${deb_changelog}.gz)
  # Only the .deb packages hold them (see cmake/cpack_options.cmake).
  install(FILES ${deb_changelog}.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/d88cut
          COMPONENT deb_tools)
  install(FILES ${deb_changelog}.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/d88cut-dev
          COMPONENT deb_dev)
endif()

# --- Packages ------------------------------------------------------------
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Extracts a game's program and data files from D88 disk images")
set(CPACK_PACKAGE_CONTACT "${D88CUT_PACKAGE_CONTACT}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Folders as Debian wants them, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ DEB)
endif()
# Which components each package holds; read by cpack, per generator.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_options.cmake)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENT_TOOLS_GROUP d88cut)
set(CPACK_COMPONENT_DEB_TOOLS_GROUP d88cut)
set(CPACK_COMPONENT_DEV_GROUP dev)
set(CPACK_COMPONENT_DEB_DEV_GROUP dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_D88CUT_PACKAGE_NAME d88cut)
set(CPACK_DEBIAN_D88CUT_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_D88CUT_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME d88cut-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "Library that reads D88 disk image files (static library and headers)
The reader of d88cut as a static library: it indexes the disk images of a
D88 file, selects one and reads sectors by track and sector ID. With a CMake
package (find_package(d88cut), target d88cut::d88) and a pkg-config file
(d88).")
set(CPACK_DEBIAN_D88CUT_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
d88cut finds the disks of one game in a D88 disk image file and writes the
game's program and the data files of its first disk as plain files. d88info
tells what the images of a D88 file hold and whether d88cut could extract
them whole.")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/")
include(CPack)
