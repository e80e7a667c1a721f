# Writes the sample image into DEMO_DIR, runs d88cut on it there and lists
# the files it wrote. Run with -DDEMO_DIR=... -DD88CUT=... -DMAKE_IMAGE=...
#
# d88cut writes its Japanese text as Shift-JIS bytes; where iconv is found,
# the demo shows it decoded to UTF-8, as a terminal of today needs. (The
# sample disks' names, which d88info prints as they are, are ASCII.)
file(REMOVE_RECURSE "${DEMO_DIR}")
file(MAKE_DIRECTORY "${DEMO_DIR}")
execute_process(COMMAND "${MAKE_IMAGE}" demo.d88
                WORKING_DIRECTORY "${DEMO_DIR}" COMMAND_ERROR_IS_FATAL ANY)
find_program(ICONV iconv)
set(decode)
set(decode_shown)
if(ICONV)
  set(decode COMMAND "${ICONV}" -f SHIFT_JIS -t UTF-8)
  set(decode_shown " | iconv -f SHIFT_JIS -t UTF-8")
endif()

# Runs a tool with `decode` after it; `status_var` gets the tool's status.
function(run_decoded status_var)
  execute_process(COMMAND ${ARGN} ${decode}
                  WORKING_DIRECTORY "${DEMO_DIR}" RESULTS_VARIABLE statuses)
  list(GET statuses 0 status)
  set(${status_var} ${status} PARENT_SCOPE)
endfunction()

# The commands are shown as they run from DEMO_DIR, with the tools' paths
# from there, so that they can be copied.
file(RELATIVE_PATH d88cut_shown "${DEMO_DIR}" "${D88CUT}")
message("$ cd ${DEMO_DIR}")
message("$ ${d88cut_shown} demo.d88${decode_shown}")
run_decoded(status "${D88CUT}" demo.d88)
message("(exit status ${status})")
message("$ ls")
file(GLOB written RELATIVE "${DEMO_DIR}" "${DEMO_DIR}/*")
list(SORT written)
foreach(name IN LISTS written)
  file(SIZE "${DEMO_DIR}/${name}" size)
  message("  ${name}  ${size} bytes")
endforeach()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "d88cut failed on the sample image")
endif()

# d88info on the sample image and on a damaged copy of it (-DD88INFO=...).
if(D88INFO)
  execute_process(COMMAND "${MAKE_IMAGE}" --damaged damaged.d88
                  WORKING_DIRECTORY "${DEMO_DIR}" COMMAND_ERROR_IS_FATAL ANY)
  file(RELATIVE_PATH d88info_shown "${DEMO_DIR}" "${D88INFO}")
  function(run_d88info)
    string(REPLACE ";" " " shown "${ARGN}")
    message("$ ${d88info_shown} ${shown}")
    execute_process(COMMAND "${D88INFO}" ${ARGN}
                    WORKING_DIRECTORY "${DEMO_DIR}" RESULT_VARIABLE info_status)
    message("(exit status ${info_status})")
  endfunction()
  run_d88info(demo.d88)
  run_d88info(damaged.d88)
  run_d88info(--check damaged.d88)
endif()
