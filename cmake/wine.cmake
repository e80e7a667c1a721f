# Tests of a Windows build under Wine.
#
# Under Wine the ANSI code page follows the Unix locale. The tests run under
# ja_JP.UTF-8, which gives code page 932 (Shift-JIS); the locale is compiled
# into the build tree so that the host need not have it. Tests that need the
# default locale run under D88CUT_WINE_DEFAULT_LOCALE_EMULATOR (C.UTF-8: Unix
# file names in UTF-8, code page 1252). Sets D88CUT_TEST_ANSI_CODE_PAGE and the
# target wine_prefix.
if(NOT (WIN32 AND CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR
        MATCHES "wine"))
  return()
endif()

set(locale_dir ${CMAKE_BINARY_DIR}/locale)
if(NOT EXISTS ${locale_dir}/ja_JP.UTF-8/LC_CTYPE)
  file(MAKE_DIRECTORY ${locale_dir})
  execute_process(COMMAND localedef -i ja_JP -f UTF-8
                          ${locale_dir}/ja_JP.UTF-8
                  OUTPUT_QUIET ERROR_VARIABLE localedef_error)
endif()
if(NOT EXISTS ${locale_dir}/ja_JP.UTF-8/LC_CTYPE)
  message(FATAL_ERROR "cannot compile the ja_JP.UTF-8 locale (Debian: "
                      "apt-get install locales): ${localedef_error}")
endif()
set(D88CUT_WINE_DEFAULT_LOCALE_EMULATOR env LC_ALL=C.UTF-8 sh
    ${CMAKE_SOURCE_DIR}/cmake/run_under_wine.sh ${CMAKE_CROSSCOMPILING_EMULATOR})
set(CMAKE_CROSSCOMPILING_EMULATOR env LOCPATH=${locale_dir}
    LC_ALL=ja_JP.UTF-8 sh ${CMAKE_SOURCE_DIR}/cmake/run_under_wine.sh
    ${CMAKE_CROSSCOMPILING_EMULATOR})
set(D88CUT_TEST_ANSI_CODE_PAGE 932)
# Wine's first start creates its prefix, which takes longer than test
# discovery waits; this makes sure the prefix exists before.
add_custom_target(wine_prefix
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init
  COMMENT "Preparing the Wine prefix"
  VERBATIM)
