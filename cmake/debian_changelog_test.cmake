# Tests of cmake/debian_changelog.cmake: cmake -P debian_changelog_test.cmake
# (ctest runs it as DebianChangelogTest). With -DCASE=..., makes the
# changelog of one malformed case, which must fail.
include(${CMAKE_CURRENT_LIST_DIR}/debian_changelog.cmake)
set(PROJECT_NAME d88cut)
set(PROJECT_VERSION 2.0.1)
set(work "${CMAKE_CURRENT_BINARY_DIR}/debian_changelog_test")
file(MAKE_DIRECTORY "${work}")

if(DEFINED CASE)
  file(WRITE "${work}/${CASE}.md" "${INPUT}")
  d88cut_debian_changelog("${work}/${CASE}.md" "${work}/${CASE}.out" "M <m@x>")
  return()
endif()

function(expect_equal what got expected)
  if(NOT got STREQUAL expected)
    message(FATAL_ERROR "${what}:\n'${got}'\nexpected:\n'${expected}'")
  endif()
endfunction()

# Weekdays: across leap days, century rules and the turn of a year.
foreach(row "2024 02 29 Thu, 29 Feb 2024" "2000 01 01 Sat, 01 Jan 2000"
        "1900 03 01 Thu, 01 Mar 1900" "2026 12 09 Wed, 09 Dec 2026"
        "2026 12 31 Thu, 31 Dec 2026")
  string(REGEX MATCH "^([0-9]+) ([0-9]+) ([0-9]+) (.*)$" _ "${row}")
  d88cut_rfc5322_date(${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} date)
  expect_equal("date of ${row}" "${date}" "${CMAKE_MATCH_4}")
endforeach()

# Two releases, an introduction, continued entries and the characters that
# mean something to CMake lists.
file(WRITE "${work}/good.md" "# Changelog

Text before the first release is left out.

## 2.0.1 (2026-12-09)

- One change; with [brackets] and a
  continued line.
- Another.

## 2.0.0 (2024-02-29)

- The first.
")
d88cut_debian_changelog("${work}/good.md" "${work}/good.out" "M <m@x>")
file(READ "${work}/good.out" got)
expect_equal("changelog" "${got}" "d88cut (2.0.1) unstable; urgency=medium

  * One change; with [brackets] and a
    continued line.
  * Another.

 -- M <m@x>  Wed, 09 Dec 2026 00:00:00 +0000

d88cut (2.0.0) unstable; urgency=medium

  * The first.

 -- M <m@x>  Thu, 29 Feb 2024 00:00:00 +0000
")

# What must fail: a newest release other than the project's version, no
# release at all, and a line that is neither a heading nor an entry.
foreach(case "stale|## 2.0.0 (2026-12-09)\n\n- x\n" "empty|# Changelog\n"
        "stray|## 2.0.1 (2026-12-09)\n\nA paragraph.\n")
  string(REGEX MATCH "^([a-z]+)[|](.*)$" _ "${case}")
  set(name ${CMAKE_MATCH_1})
  execute_process(COMMAND ${CMAKE_COMMAND} -DCASE=${name}
                          "-DINPUT=${CMAKE_MATCH_2}"
                          -P ${CMAKE_CURRENT_LIST_FILE}
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(status EQUAL 0)
    message(FATAL_ERROR "case ${name} was accepted")
  endif()
endforeach()
message("debian changelog ok")
