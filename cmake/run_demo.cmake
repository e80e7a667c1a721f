# Writes the sample image into DEMO_DIR, runs d88cut on it there and lists
# the files it wrote. Run with -DDEMO_DIR=... -DD88CUT=... -DMAKE_IMAGE=...
file(REMOVE_RECURSE "${DEMO_DIR}")
file(MAKE_DIRECTORY "${DEMO_DIR}")
execute_process(COMMAND "${MAKE_IMAGE}" demo.d88
                WORKING_DIRECTORY "${DEMO_DIR}" COMMAND_ERROR_IS_FATAL ANY)
message("$ cd ${DEMO_DIR} && d88cut demo.d88")
execute_process(COMMAND "${D88CUT}" demo.d88
                WORKING_DIRECTORY "${DEMO_DIR}" RESULT_VARIABLE status)
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
  function(run_d88info)
    string(REPLACE ";" " " shown "${ARGN}")
    message("$ d88info ${shown}")
    execute_process(COMMAND "${D88INFO}" ${ARGN}
                    WORKING_DIRECTORY "${DEMO_DIR}" RESULT_VARIABLE info_status)
    message("(exit status ${info_status})")
  endfunction()
  run_d88info(demo.d88)
  run_d88info(damaged.d88)
  run_d88info(--check damaged.d88)
endif()
