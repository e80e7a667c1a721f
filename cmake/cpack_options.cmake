# Read by cpack for each package generator: the components that its
# packages hold. The .zip holds the tools; the .tar.gz the tools and the
# library, both with LICENSE and CHANGELOG.md; on Debian each group is a
# package of its own, d88cut and d88cut-dev, with its copyright file and
# changelog.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL tools deb_tools dev deb_dev)
  set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
  # Each package's description begins with a summary line of its own.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
else()
  # One archive of the components named, under one top folder.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  if(CPACK_GENERATOR STREQUAL "ZIP")
    set(CPACK_COMPONENTS_ALL tools archive_docs)
  else()
    set(CPACK_COMPONENTS_ALL tools archive_docs dev)
  endif()
endif()
