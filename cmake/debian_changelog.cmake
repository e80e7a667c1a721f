# The Debian changelog of the .deb packages, made from CHANGELOG.md: each
# "## VERSION (YYYY-MM-DD)" heading there opens an entry, each "- " line a
# change, and lines indented by two blanks continue it.
#
#   d88cut_debian_changelog(<CHANGELOG.md> <output file> <maintainer>)
#
# The newest release must be the project's version. Dates are written as
# Debian wants them (RFC 5322), at midnight UTC.

# "Wed, 09 Dec 2026" for 2026 12 09.
function(d88cut_rfc5322_date year month day out_var)
  # Without their leading zeros, which math() would not take as decimal.
  string(REGEX REPLACE "^0" "" m "${month}")
  string(REGEX REPLACE "^0" "" d "${day}")
  # Day of the week by Sakamoto's method, 0 for Sunday.
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${m} - 1")
  list(GET offsets ${index} offset)
  set(y ${year})
  if(m LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday
       "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${d}) % 7")
  set(day_names Sun Mon Tue Wed Thu Fri Sat)
  set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET day_names ${weekday} day_name)
  list(GET month_names ${index} month_name)
  set(${out_var} "${day_name}, ${day} ${month_name} ${year}" PARENT_SCOPE)
endfunction()

function(d88cut_debian_changelog source output maintainer)
  file(READ "${source}" text)
  # Lines as list items: the characters that mean something to lists are stood
  # in for while splitting.
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE "[" "<open>" text "${text}")
  string(REPLACE "]" "<close>" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(changelog "")
  set(trailer "")
  set(newest "")
  # "## 1.1.0 (2026-12-09)"
  set(n2 "[0-9][0-9]")
  set(heading "^## ([0-9]+\\.[0-9]+\\.[0-9]+) ")
  string(APPEND heading "\\((${n2}${n2})-(${n2})-(${n2})\\)$")
  foreach(line IN LISTS lines)
    if(line MATCHES "${heading}")
      set(version ${CMAKE_MATCH_1})
      d88cut_rfc5322_date(${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4}
                          date)
      if(newest STREQUAL "")
        set(newest ${version})
      endif()
      string(APPEND changelog "${trailer}"
             "${PROJECT_NAME} (${version}) unstable; urgency=medium\n\n")
      set(trailer "\n -- ${maintainer}  ${date} 00:00:00 +0000\n\n")
    elseif(newest STREQUAL "" OR line STREQUAL "")
      # The introduction, and blank lines.
    elseif(line MATCHES "^- (.+)$")
      string(APPEND changelog "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  ([^ ].*)$")
      string(APPEND changelog "    ${CMAKE_MATCH_1}\n")
    else()
      message(FATAL_ERROR "${source}: not a heading, an entry or its "
                          "continuation: '${line}'")
    endif()
  endforeach()
  if(NOT newest STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${source}: the newest release is '${newest}', "
                        "not the project's version ${PROJECT_VERSION}")
  endif()
  string(APPEND changelog "${trailer}")
  string(REGEX REPLACE "\n\n$" "\n" changelog "${changelog}")
  string(REPLACE "<semicolon>" ";" changelog "${changelog}")
  string(REPLACE "<open>" "[" changelog "${changelog}")
  string(REPLACE "<close>" "]" changelog "${changelog}")
  file(WRITE "${output}" "${changelog}")
endfunction()
