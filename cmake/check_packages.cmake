# Checks the release packages: each holds d88cut, d88info and the README where the
# install rules put them, and the d88cut.exe of the Windows zip, run under
# Wine on the sample image, prints the Linux build's text with CR LF line
# ends and writes the same files.
#
#   cmake -DBUILD_DIR=<Linux package build> -DPACKAGE_DIR=... -DWORK_DIR=...
#         -DWINEPREFIX=... -P check_packages.cmake
foreach(var BUILD_DIR PACKAGE_DIR WORK_DIR WINEPREFIX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_packages.cmake needs -D${var}=...")
  endif()
  get_filename_component(${var} "${${var}}" ABSOLUTE)
endforeach()
load_cache("${BUILD_DIR}" READ_WITH_PREFIX "" CMAKE_PROJECT_VERSION)
set(VERSION "${CMAKE_PROJECT_VERSION}")
set(MAKE_IMAGE "${BUILD_DIR}/make_demo_image")
set(ENV{WINEPREFIX} "${WINEPREFIX}")
set(ENV{WINEDEBUG} "-all")
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")

function(expect_file path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "missing: ${path}")
  endif()
endfunction()

function(unpack archive into)
  expect_file("${archive}")
  file(MAKE_DIRECTORY "${into}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${archive}"
                  WORKING_DIRECTORY "${into}" COMMAND_ERROR_IS_FATAL ANY)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")

# The archives: bin/ and the documentation folder under one top folder.
set(linux_root "${WORK_DIR}/tgz/d88cut-${VERSION}-Linux")
set(win_root "${WORK_DIR}/zip/d88cut-${VERSION}-win64")
unpack("${PACKAGE_DIR}/d88cut-${VERSION}-Linux.tar.gz" "${WORK_DIR}/tgz")
unpack("${PACKAGE_DIR}/d88cut-${VERSION}-win64.zip" "${WORK_DIR}/zip")
expect_file("${linux_root}/bin/d88cut")
expect_file("${linux_root}/bin/d88info")
expect_file("${linux_root}/share/doc/d88cut/README.md")
expect_file("${win_root}/bin/d88cut.exe")
expect_file("${win_root}/bin/d88info.exe")
expect_file("${win_root}/share/doc/d88cut/README.md")

# The Debian package: its version and files under /usr.
file(GLOB debs "${PACKAGE_DIR}/d88cut_${VERSION}_*.deb")
list(LENGTH debs deb_count)
if(NOT deb_count EQUAL 1)
  message(FATAL_ERROR "expected one d88cut_${VERSION}_*.deb, found: ${debs}")
endif()
execute_process(COMMAND dpkg-deb --field ${debs} Version
                OUTPUT_VARIABLE deb_version OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT deb_version STREQUAL VERSION)
  message(FATAL_ERROR "the .deb has version ${deb_version}, not ${VERSION}")
endif()
execute_process(COMMAND dpkg-deb --contents ${debs}
                OUTPUT_VARIABLE deb_files COMMAND_ERROR_IS_FATAL ANY)
foreach(path ./usr/bin/d88cut ./usr/bin/d88info ./usr/share/doc/d88cut/README.md)
  string(FIND "${deb_files}" " ${path}\n" at)
  if(at LESS 0)
    message(FATAL_ERROR "the .deb lacks ${path}:\n${deb_files}")
  endif()
endforeach()

# The sample image, extracted by both builds.
foreach(side linux win)
  file(MAKE_DIRECTORY "${WORK_DIR}/demo-${side}")
  execute_process(COMMAND "${MAKE_IMAGE}" demo.d88
                  WORKING_DIRECTORY "${WORK_DIR}/demo-${side}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# Through files: CMake drops the CRs of an output variable.
execute_process(COMMAND "${linux_root}/bin/d88cut" demo.d88
                WORKING_DIRECTORY "${WORK_DIR}/demo-linux"
                OUTPUT_FILE "${WORK_DIR}/linux.out"
                RESULT_VARIABLE linux_status)
execute_process(COMMAND wine "${win_root}/bin/d88cut.exe" demo.d88
                WORKING_DIRECTORY "${WORK_DIR}/demo-win"
                OUTPUT_FILE "${WORK_DIR}/win.out"
                RESULT_VARIABLE win_status)
if(NOT linux_status EQUAL 0 OR NOT win_status EQUAL 0)
  message(FATAL_ERROR
          "exit status: Linux ${linux_status}, Windows ${win_status}")
endif()
file(READ "${WORK_DIR}/linux.out" linux_out)
string(REPLACE "\n" "\r\n" expected_out "${linux_out}")
file(WRITE "${WORK_DIR}/expected-win.out" "${expected_out}")
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                        "${WORK_DIR}/expected-win.out" "${WORK_DIR}/win.out"
                RESULT_VARIABLE differs)
if(linux_out STREQUAL "" OR differs)
  message(FATAL_ERROR "console text differs: ${WORK_DIR}/linux.out, "
                      "${WORK_DIR}/win.out")
endif()

file(GLOB linux_files RELATIVE "${WORK_DIR}/demo-linux"
     "${WORK_DIR}/demo-linux/*")
file(GLOB win_files RELATIVE "${WORK_DIR}/demo-win" "${WORK_DIR}/demo-win/*")
list(SORT linux_files)
list(SORT win_files)
if(NOT linux_files STREQUAL win_files)
  message(FATAL_ERROR "files differ: Linux ${linux_files}, "
                      "Windows ${win_files}")
endif()
foreach(name IN LISTS linux_files)
  file(SHA256 "${WORK_DIR}/demo-linux/${name}" linux_hash)
  file(SHA256 "${WORK_DIR}/demo-win/${name}" win_hash)
  if(NOT linux_hash STREQUAL win_hash)
    message(FATAL_ERROR "${name} differs between Linux and Windows")
  endif()
endforeach()
list(LENGTH linux_files count)
message("packages ok: ${count} files (demo.d88 included) written alike "
        "by the Linux and the Windows d88cut ${VERSION}")
