# Checks the release packages: each holds what the install rules put there
# (the tools with the README, docs/ and, on Linux, the manual pages; the
# .tar.gz and the d88cut-dev .deb also the reader library; the archives the
# licence and CHANGELOG.md, each .deb its copyright file and changelog), and
# the d88cut.exe of the Windows zip, run under Wine on the sample image,
# prints the Linux build's text with CR LF line ends and writes the same
# files.
#
#   cmake -DBUILD_DIR=<Linux package build> -DPACKAGE_DIR=... -DWORK_DIR=...
#         -DWINEPREFIX=... -P check_packages.cmake
foreach(var BUILD_DIR PACKAGE_DIR WORK_DIR WINEPREFIX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_packages.cmake needs -D${var}=...")
  endif()
  get_filename_component(${var} "${${var}}" ABSOLUTE)
endforeach()
load_cache("${BUILD_DIR}" READ_WITH_PREFIX "" CMAKE_PROJECT_VERSION
           CMAKE_INSTALL_LIBDIR D88CUT_TOOLS)
set(VERSION "${CMAKE_PROJECT_VERSION}")
set(LIBDIR "${CMAKE_INSTALL_LIBDIR}")
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

# What each package holds, below its root.
set(tool_files share/doc/d88cut/README.md share/doc/d88cut/copyright
    share/doc/d88cut/docs/robustness.md share/doc/d88cut/docs/performance.md)
set(man_files)
set(exe_files)
foreach(tool IN LISTS D88CUT_TOOLS)
  list(APPEND tool_files bin/${tool})
  list(APPEND man_files share/man/man1/${tool}.1.gz)
  list(APPEND exe_files bin/${tool}.exe)
endforeach()
set(archive_files share/doc/d88cut/LICENSE share/doc/d88cut/CHANGELOG.md)
set(dev_files include/d88/d88_image.h include/d88/d88_format.h
    include/d88/input_file.h include/d88/version.h ${LIBDIR}/libd88.a
    ${LIBDIR}/cmake/d88cut/d88cutConfig.cmake
    ${LIBDIR}/cmake/d88cut/d88cutConfigVersion.cmake
    ${LIBDIR}/cmake/d88cut/d88cutTargets.cmake ${LIBDIR}/pkgconfig/d88.pc)

# The archives, each under one top folder.
set(linux_root "${WORK_DIR}/tgz/d88cut-${VERSION}-Linux")
set(win_root "${WORK_DIR}/zip/d88cut-${VERSION}-win64")
unpack("${PACKAGE_DIR}/d88cut-${VERSION}-Linux.tar.gz" "${WORK_DIR}/tgz")
unpack("${PACKAGE_DIR}/d88cut-${VERSION}-win64.zip" "${WORK_DIR}/zip")
foreach(path IN LISTS tool_files man_files archive_files dev_files)
  expect_file("${linux_root}/${path}")
endforeach()
foreach(path IN LISTS exe_files archive_files ITEMS share/doc/d88cut/README.md)
  expect_file("${win_root}/${path}")
endforeach()

# The Debian packages, d88cut and d88cut-dev: their version, dependencies
# and files under /usr, each with its copyright file and changelog, whose
# newest entry is this version.
function(check_deb name)
  file(GLOB deb "${PACKAGE_DIR}/${name}_${VERSION}_*.deb")
  list(LENGTH deb count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one ${name}_${VERSION}_*.deb, found: ${deb}")
  endif()
  execute_process(COMMAND dpkg-deb --field ${deb} Version
                  OUTPUT_VARIABLE deb_version OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  if(NOT deb_version STREQUAL VERSION)
    message(FATAL_ERROR "${name}: version ${deb_version}, not ${VERSION}")
  endif()
  execute_process(COMMAND dpkg-deb --contents ${deb}
                  OUTPUT_VARIABLE deb_files COMMAND_ERROR_IS_FATAL ANY)
  foreach(path IN LISTS ARGN ITEMS share/doc/${name}/copyright
          share/doc/${name}/changelog.gz)
    string(FIND "${deb_files}" " ./usr/${path}\n" at)
    if(at LESS 0)
      message(FATAL_ERROR "${name} lacks /usr/${path}:\n${deb_files}")
    endif()
  endforeach()
  file(MAKE_DIRECTORY "${WORK_DIR}/${name}")
  execute_process(COMMAND dpkg-deb --extract ${deb} "${WORK_DIR}/${name}"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${WORK_DIR}/${name}/usr/share/doc/${name}/copyright" copyright)
  if(NOT copyright MATCHES "^Format: [^\n]*copyright-format/1.0/\n"
     OR NOT copyright MATCHES "\nLicense: Expat\n Permission is hereby")
    message(FATAL_ERROR "${name}: copyright is not in Debian's format")
  endif()
  set(doc_dir "${WORK_DIR}/${name}/usr/share/doc/${name}")
  execute_process(COMMAND gzip -dc "${doc_dir}/changelog.gz"
                  OUTPUT_VARIABLE changelog COMMAND_ERROR_IS_FATAL ANY)
  if(NOT changelog MATCHES "^d88cut \\(${VERSION}\\) unstable; ")
    message(FATAL_ERROR "${name}: the changelog does not begin with "
                        "${VERSION}")
  endif()
endfunction()
check_deb(d88cut ${tool_files} ${man_files})
check_deb(d88cut-dev ${dev_files})
file(GLOB tool_deb "${PACKAGE_DIR}/d88cut_${VERSION}_*.deb")
execute_process(COMMAND dpkg-deb --field ${tool_deb} Depends
                OUTPUT_VARIABLE depends COMMAND_ERROR_IS_FATAL ANY)
if(NOT depends MATCHES "libc6")
  message(FATAL_ERROR "the d88cut .deb has no Depends line (dpkg-dev "
                      "installed?): '${depends}'")
endif()

# The hardening of the release build, in each program of the .deb: a
# position independent executable, all of its relocations read-only after
# start-up (RELRO with every symbol bound at once), the stack protector and
# the checked forms of the C library's functions.
foreach(tool IN LISTS D88CUT_TOOLS)
  set(program "${WORK_DIR}/d88cut/usr/bin/${tool}")
  execute_process(COMMAND readelf --file-header --program-headers --dynamic
                          "${program}"
                  OUTPUT_VARIABLE elf COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND nm --dynamic --undefined-only "${program}"
                  OUTPUT_VARIABLE imports COMMAND_ERROR_IS_FATAL ANY)
  foreach(mark "Type: +DYN" "GNU_RELRO" "\\(FLAGS\\) +BIND_NOW"
          "Flags: NOW PIE" "IMPORTS __stack_chk_fail" "IMPORTS __[a-z]+_chk@")
    set(text "${elf}")
    if(mark MATCHES "^IMPORTS (.*)")
      set(mark "${CMAKE_MATCH_1}")
      set(text "${imports}")
    endif()
    if(NOT text MATCHES "${mark}")
      message(FATAL_ERROR "${tool} in the .deb is not hardened: no '${mark}'")
    endif()
  endforeach()
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
